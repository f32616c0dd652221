#include "transport/DeviceEventSource.h"

#include <dlfcn.h>
#include <hidapi/hidapi.h>

#include "transport/UdevEventSource.h"
#include "transport/VirtualBusEventSource.h"

namespace quorin {

namespace {

// The functions of the virtual bus, when the library that hidapi's calls of
// this library reach is the virtual bus; both null otherwise.
VirtualBusEventSource::Functions virtualBusFunctions() {
    VirtualBusEventSource::Functions functions;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&hid_enumerate), &info) == 0 || info.dli_fname == nullptr) {
        return functions;
    }
    void* provider = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (provider == nullptr) {
        return functions;
    }
    functions.watch =
        reinterpret_cast<VirtualBusEventSource::WatchFn>(dlsym(provider, "quorin_vhid_watch"));
    functions.unwatch =
        reinterpret_cast<VirtualBusEventSource::UnwatchFn>(dlsym(provider, "quorin_vhid_unwatch"));
    // The provider stays loaded: this library depends on it.
    dlclose(provider);
    return functions;
}

}  // namespace

std::unique_ptr<DeviceEventSource> DeviceEventSource::create(std::string* error) {
    VirtualBusEventSource::Functions bus = virtualBusFunctions();
    if (bus.watch != nullptr && bus.unwatch != nullptr) {
        return VirtualBusEventSource::open(bus, error);
    }
#ifdef QUORIN_HIDAPI_LIBUSB
    return UdevEventSource::open(UdevEventSource::Kind::USB_INTERFACE, error);
#else
    return UdevEventSource::open(UdevEventSource::Kind::HIDRAW, error);
#endif
}

}  // namespace quorin
