// A fake Wavelo FM library for the driver's in-process tests: the twelve FM
// functions with C linkage, recording every call, with notifications queued
// exactly when and as the test says.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fm_interface.h"

namespace fakefm {

struct Call {
    std::string name;
    DWORD a = 0;
    DWORD b = 0;
};

void reset();
std::vector<Call> calls();
void clear_calls();
int count(const std::string& name);
// The values passed to FMSetProp for one property, in order.
std::vector<DWORD> set_values(DWORD id);
std::vector<DWORD> seeks();

// FMOpen returns null (no radio).
void set_no_radio(bool none);
// What FMGetProp(FMPROP_RSSI) reports (result 0) or, with ok false, a failure.
void set_rssi(DWORD value, bool ok = true);
// Runs before every FMGetProp(FMPROP_RSSI), on the caller's thread (the status
// thread asks once a tick); nullptr removes it.
void on_rssi_query(std::function<void()> hook);
void set_power_state(DWORD state);
// Tuning and seeking answer with a frequency notification, as a tuner would.
// A seek moves by seek_step kHz, stopping at the band's ends.
void set_auto_answer(bool on, DWORD seek_step = 1000);

// Queues a record; sets the registered event unless told not to.
void push_frequency(DWORD khz, bool set_event = true);
void push_rds(const std::vector<FmRdsGroup>& groups, bool set_event = true);
size_t queued();
HANDLE registered_event();
FmRdsGroup group(WORD a, WORD b, WORD c, WORD d, DWORD errors = 0);

}  // namespace fakefm
