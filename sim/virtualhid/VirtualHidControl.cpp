// The C control API of the virtual bus: thin wrappers that look the reader
// up by id, check the arguments and call one method of the bus or a model.
// No exception leaves a function: each body runs inside control().
#include "virtualhid/VirtualHidControl.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"
#include "virtualhid/VirtualHidConfig.h"

using namespace quorin_sim;

namespace {

constexpr int FAILED = -1;

template <typename Fn>
int control(Fn&& fn) noexcept {
    try {
        VirtualHidConfig::applyEnvironmentOnce();
        return fn();
    } catch (...) {
        return FAILED;
    }
}

std::shared_ptr<VirtualReader> lookUp(int id) {
    return id > 0 ? VirtualHid::instance().find(id) : nullptr;
}

// Two hex digits per byte, either case; nullopt otherwise. NULL is empty.
std::optional<Report> fromHex(const char* hex) {
    Report out;
    if (hex == nullptr) {
        return out;
    }
    size_t n = std::strlen(hex);
    if (n % 2 != 0) {
        return std::nullopt;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < n; i += 2) {
        int hi = digit(hex[i]);
        int lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

// Copies text with its NUL into buffer; its length, or -1 when it does not fit.
int copyOut(const std::string& text, char* buffer, size_t size) {
    if (buffer == nullptr || size <= text.size()) {
        return FAILED;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

std::string toHex(const Report& bytes) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(DIGITS[b >> 4]);
        out.push_back(DIGITS[b & 0x0F]);
    }
    return out;
}

std::string orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

extern "C" {

QUORIN_VHID_API int quorin_vhid_reset(void) {
    return control([] {
        VirtualHid::instance().reset();
        return 0;
    });
}

QUORIN_VHID_API int quorin_vhid_set_backend(const char* backend) {
    return control([&] {
        std::string name = orEmpty(backend);
        if (name == "hidraw") {
            VirtualHid::instance().setBackend(HidBackend::HIDRAW);
        } else if (name == "libusb") {
            VirtualHid::instance().setBackend(HidBackend::LIBUSB);
        } else {
            return FAILED;
        }
        return 0;
    });
}

QUORIN_VHID_API unsigned int quorin_vhid_default_vendor_id(void) {
    return QUORIN_USB_VENDOR_ID;
}

QUORIN_VHID_API int quorin_vhid_plug(const char* model, unsigned int vendor_id,
                                     unsigned int product_id, const char* serial) {
    return control([&] {
        if (vendor_id > 0xFFFF || product_id == 0 || product_id > 0xFFFF) {
            return FAILED;
        }
        uint16_t vid = static_cast<uint16_t>(vendor_id != 0 ? vendor_id : QUORIN_USB_VENDOR_ID);
        std::optional<std::string> serialNumber;
        if (serial != nullptr) {
            serialNumber = serial;
        }
        auto reader = VirtualHidConfig::makeReader(orEmpty(model), vid,
                                                   static_cast<uint16_t>(product_id), serialNumber);
        if (!reader) {
            return FAILED;
        }
        VirtualHid::instance().attach(reader);
        return reader->id();
    });
}

QUORIN_VHID_API int quorin_vhid_configure(const char* entries) {
    return control([&] {
        auto plugged = VirtualHidConfig::plugAll(orEmpty(entries), nullptr);
        return plugged ? static_cast<int>(plugged->size()) : FAILED;
    });
}

QUORIN_VHID_API int quorin_vhid_unplug(int id) {
    return control([&] {
        auto reader = lookUp(id);
        if (!reader) {
            return FAILED;
        }
        reader->unplug();
        return 0;
    });
}

QUORIN_VHID_API int quorin_vhid_replug(int id) {
    return control([&] {
        auto reader = lookUp(id);
        if (!reader) {
            return FAILED;
        }
        reader->replug();
        return 0;
    });
}

QUORIN_VHID_API int quorin_vhid_watch(quorin_vhid_listing_fn fn, void* context) {
    return control([&] {
        if (fn == nullptr) {
            return FAILED;
        }
        return VirtualHid::instance().watch(
            [fn, context](const std::string& path, uint16_t vendorId, uint16_t productId,
                          bool listed) { fn(context, path.c_str(), vendorId, productId, listed); });
    });
}

QUORIN_VHID_API int quorin_vhid_unwatch(int watch_id) {
    return control([&] { return VirtualHid::instance().unwatch(watch_id) ? 0 : FAILED; });
}

QUORIN_VHID_API int quorin_vhid_readers(int* ids, int capacity) {
    return control([&] {
        auto readers = VirtualHid::instance().readers();
        for (int i = 0; ids != nullptr && i < capacity && i < static_cast<int>(readers.size());
             ++i) {
            ids[i] = readers[static_cast<size_t>(i)]->id();
        }
        return static_cast<int>(readers.size());
    });
}

QUORIN_VHID_API int quorin_vhid_path(int id, char* buffer, size_t size) {
    return control([&] {
        auto reader = lookUp(id);
        return reader ? copyOut(reader->path(), buffer, size) : FAILED;
    });
}

QUORIN_VHID_API int quorin_vhid_swipe(int id, const char* track1, const char* track2,
                                      const char* track3) {
    return control([&] {
        auto reader = lookUp(id);
        if (auto plain = std::dynamic_pointer_cast<PlainCommandReader>(reader)) {
            plain->swipe(orEmpty(track1), orEmpty(track2), orEmpty(track3));
            return 0;
        }
        if (auto emv = std::dynamic_pointer_cast<ExtendedReader>(reader)) {
            emv->swipe(orEmpty(track1), orEmpty(track2), orEmpty(track3));
            return 0;
        }
        return FAILED;
    });
}

QUORIN_VHID_API int quorin_vhid_push_input(int id, const char* hex) {
    return control([&] {
        auto reader = lookUp(id);
        std::optional<Report> report = fromHex(hex);
        if (!reader || !report || report->empty()) {
            return FAILED;
        }
        reader->pushInputReport(*report);
        return 0;
    });
}

QUORIN_VHID_API int quorin_vhid_push_notification(int id, unsigned int message_id,
                                                  const char* hex) {
    return control([&] {
        auto emv = std::dynamic_pointer_cast<ExtendedReader>(lookUp(id));
        std::optional<Report> data = fromHex(hex);
        if (!emv || !data || message_id > 0xFFFF || data->size() > ExtendedReader::MAX_TOTAL) {
            return FAILED;
        }
        emv->pushNotification(static_cast<uint16_t>(message_id), *data);
        return 0;
    });
}

QUORIN_VHID_API int quorin_vhid_script_response(int id, const char* command, int result,
                                                const char* hex) {
    return control([&] {
        auto reader = lookUp(id);
        std::optional<Report> data = fromHex(hex);
        if (!reader || !data || command == nullptr || result < 0) {
            return FAILED;
        }
        if (auto emv = std::dynamic_pointer_cast<ExtendedReader>(reader)) {
            if (result > 0xFFFF) {
                return FAILED;
            }
            return emv->setAnswer(command, result, *data) ? 0 : FAILED;
        }
        auto plain = std::dynamic_pointer_cast<PlainCommandReader>(reader);
        if (!plain || result > 0xFF || std::strchr(command, ':') != nullptr) {
            return FAILED;
        }
        return plain->setAnswer(command, result, *data) ? 0 : FAILED;
    });
}

QUORIN_VHID_API int quorin_vhid_set_busy(int id, int count) {
    return control([&] {
        auto emv = std::dynamic_pointer_cast<ExtendedReader>(lookUp(id));
        if (!emv || count < 0) {
            return FAILED;
        }
        emv->setBusy(count);
        return 0;
    });
}

QUORIN_VHID_API int quorin_vhid_set_accessible(int id, int accessible) {
    return control([&] {
        auto reader = lookUp(id);
        if (!reader) {
            return FAILED;
        }
        reader->setAccessible(accessible != 0);
        return 0;
    });
}

QUORIN_VHID_API int quorin_vhid_open_handles(int id) {
    return control([&] {
        if (id == 0) {
            return VirtualHid::instance().openHandles();
        }
        auto reader = lookUp(id);
        return reader ? reader->openHandles() : FAILED;
    });
}

QUORIN_VHID_API int quorin_vhid_feature_writes(int id) {
    return control([&] {
        auto reader = lookUp(id);
        return reader ? static_cast<int>(reader->featureWrites().size()) : FAILED;
    });
}

QUORIN_VHID_API int quorin_vhid_feature_write(int id, int index, char* buffer, size_t size) {
    return control([&] {
        auto reader = lookUp(id);
        if (!reader) {
            return FAILED;
        }
        std::vector<Report> writes = reader->featureWrites();
        long at = index == -1 ? static_cast<long>(writes.size()) - 1 : index;
        if (at < 0 || at >= static_cast<long>(writes.size())) {
            return FAILED;
        }
        return copyOut(toHex(writes[static_cast<size_t>(at)]), buffer, size);
    });
}

QUORIN_VHID_API int quorin_vhid_transaction_state(int id) {
    return control([&] {
        auto emv = std::dynamic_pointer_cast<ExtendedReader>(lookUp(id));
        return emv ? static_cast<int>(emv->transactionState()) : FAILED;
    });
}

}  // extern "C"
