// A stand-in GPS multiplexer port for running the driver in-process without a
// device manager: the multiplexer key names "NUL0:", and every device open
// gets a port that opens and refuses every request.
#pragma once

#include <memory>

#include "ce_platform.h"
#include "driver.h"
#include "kobject.h"
#include "windows.h"

namespace drivertest {

class NullPort : public ce::KObject {};

inline HANDLE OpenNullPort(LPCWSTR, DWORD, DWORD) { return ce::handle_insert(std::make_shared<NullPort>()); }

// Returns the opener it replaced: every device open goes to the stand-in
// until that is put back.
inline ce::DeviceOpener UseNullGpsPort() {
    ce::DeviceOpener previous = ce::set_device_opener(&OpenNullPort);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, GPS_MUX_KEY, 0, nullptr, 0, 0, nullptr, &key, nullptr);
    const char16_t name[] = u"NUL0:";
    RegSetValueExW(key, GPS_MUX_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof(name));
    RegCloseKey(key);
    return previous;
}

}  // namespace drivertest
