# cmake -DCECTL=path/to/cectl -DTEMPLATE=cectl.bash.in -DOUT=cectl -P completion_from_help.cmake
#
# Makes cectl's bash completion from the program's own `cectl help`, so that
# a new command is completed as soon as cectl knows it. A command's line
# there starts with two spaces; its subcommands are the words that follow
# the command's name in that line's " | "-separated forms ("air list | air
# clear | air remove FREQ", "headset on|off").
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${CECTL}" help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${CECTL} help failed (${status})")
endif()
string(REPLACE ";" "," help "${help}")
string(REPLACE "\n" ";" lines "${help}")

set(commands "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^  ([a-z][a-z-]*)(.*)$")
    continue()
  endif()
  set(command "${CMAKE_MATCH_1}")
  set(forms "${command}${CMAKE_MATCH_2}")
  if(NOT command IN_LIST commands)
    list(APPEND commands "${command}")
    set(subs_${command} "")
  endif()
  string(REPLACE " | " ";" forms "${forms}")
  foreach(form IN LISTS forms)
    if(form MATCHES "^${command} ([a-z][a-z-]*(\\|[a-z][a-z-]*)*)( |$)")
      string(REPLACE "|" ";" words "${CMAKE_MATCH_1}")
      list(APPEND subs_${command} ${words})
    endif()
  endforeach()
endforeach()
if(NOT commands)
  message(FATAL_ERROR "${CECTL} help lists no commands")
endif()

list(SORT commands)
list(JOIN commands " " command_words)
set(cases "")
foreach(command IN LISTS commands)
  if(subs_${command})
    list(REMOVE_DUPLICATES subs_${command})
    list(JOIN subs_${command} " " words)
    string(APPEND cases "        ${command}) subcommands=\"${words}\" ;;\n")
  endif()
endforeach()

file(READ "${TEMPLATE}" text)
string(REPLACE "@COMMANDS@" "${command_words}" text "${text}")
string(REPLACE "@SUBCOMMANDS@\n" "${cases}" text "${text}")
file(WRITE "${OUT}.tmp" "${text}")
file(RENAME "${OUT}.tmp" "${OUT}")
