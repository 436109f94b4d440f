#include "serial/DeviceNameList.h"

namespace lintaro {

std::uint32_t ReadDeviceNameList(const DeviceNameQuery& query, std::wstring& names) {
    std::uint32_t capacity = DeviceListFirstCapacity;
    for (;;) {
        names.assign(capacity, L'\0');
        std::uint32_t error = 0;
        const std::uint32_t count = query(names.data(), capacity, error);
        if (error == ErrorInsufficientBuffer) {
            // Some versions return a cut-short list with its length, others nothing.
            capacity = count != 0 ? count + DeviceListGrowth : capacity + DeviceListGrowth;
            continue;
        }
        if (error != 0) {
            names.clear();
            return error;
        }
        // Zero without an error would be an empty device list; asking again would not
        // change it.
        names.resize(count < capacity ? count : capacity);
        return 0;
    }
}

}  // namespace lintaro
