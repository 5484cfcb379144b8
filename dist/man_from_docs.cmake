# cmake -DDOC=docs/cectl.md -DTEMPLATE=cectl.1.in -DOUT=cectl.1 -P man_from_docs.cmake
#
# Makes cectl(1) from its template and the command lists of docs/cectl.md,
# so the page and the reference never disagree. Each fenced block of the
# reference lists commands: a line that starts in the first column starts a
# command, its synopsis ending at the first run of two spaces; the rest and
# the indented lines after it describe it. Each "## " heading above a block
# becomes a subsection.
cmake_minimum_required(VERSION 3.25)
file(STRINGS "${DOC}" lines ENCODING UTF-8)

# Text as roff reads it literally: backslashes, dashes, and a leading
# control character.
function(roff_text out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(roff "")
set(heading "")
set(in_block OFF)
set(synopsis "")
set(description "")
macro(flush_entry)
  if(NOT synopsis STREQUAL "")
    roff_text(s "${synopsis}")
    roff_text(d "${description}")
    string(APPEND roff ".TP\n\\fB${s}\\fR\n${d}\n")
  endif()
  set(synopsis "")
  set(description "")
endmacro()

foreach(line IN LISTS lines)
  if(line MATCHES "^```")
    if(in_block)
      flush_entry()
      set(in_block OFF)
    else()
      set(in_block ON)
      if(NOT heading STREQUAL "")
        roff_text(h "${heading}")
        string(APPEND roff ".SS \"${h}\"\n")
        set(heading "")
      endif()
    endif()
  elseif(NOT in_block)
    if(line MATCHES "^## (.*)$")
      set(heading "${CMAKE_MATCH_1}")
    endif()
  elseif(line MATCHES "^[ \t]+(.*)$")
    string(STRIP "${CMAKE_MATCH_1}" more)
    string(STRIP "${description} ${more}" description)
  elseif(NOT line STREQUAL "")
    flush_entry()
    if(line MATCHES "^(.*[^ ])  +([^ ].*)$")
      set(synopsis "${CMAKE_MATCH_1}")
      set(description "${CMAKE_MATCH_2}")
    else()
      string(STRIP "${line}" synopsis)
    endif()
  endif()
endforeach()
if(roff STREQUAL "")
  message(FATAL_ERROR "${DOC}: no command list found")
endif()

file(READ "${TEMPLATE}" page)
string(REPLACE "@COMMANDS@\n" "${roff}" page "${page}")
file(WRITE "${OUT}.tmp" "${page}")
file(RENAME "${OUT}.tmp" "${OUT}")
