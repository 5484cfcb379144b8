// cehost under a service manager: the notification socket's protocol (as
// sd_notify speaks it, without linking libsystemd), the journal, and what
// the host's settings ask it to activate at start.
#pragma once

#include <string>
#include <vector>

#include "host.h"

namespace cehost {

// The host's own settings: HKLM\Platform\Host. Activate (REG_SZ) names a
// driver key, relative to HKLM, that the host activates at every start,
// after the built-in ones; empty or absent, none.
inline constexpr char16_t kHostSettingsKey[] = u"Platform\\Host";
inline constexpr char16_t kActivateValue[] = u"Activate";

// Takes the manager's socket from NOTIFY_SOCKET when `take` (a host that
// stays in the foreground: the process the manager started) and removes the
// variable from the environment either way.
void notify_open(bool take);
// Sends a notice ("READY=1\nSTATUS=..."); false without a socket.
bool notify(const std::string& state);

// Whether stderr is the stream the journal gave the service (JOURNAL_STREAM).
bool stderr_is_journal();

// Activates the key HKLM\Platform\Host Activate names; returns the names of
// the devices it made (none when it names nothing or the activation failed,
// which is logged).
std::vector<std::u16string> activate_at_start(Manager& manager);

}  // namespace cehost
