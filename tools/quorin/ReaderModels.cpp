#include "ReaderModels.h"

#include "HexText.h"

namespace quorin::cli {

namespace {

struct Model {
    int productId;
    const char* name;
};

// Kept in step with the library's device table (the tests compare the name
// `quorin list` shows with the one GetDeviceName reports).
constexpr Model MODELS[] = {
    {0x11, "Strivo V4/V5 Swipe"},
    {0x13, "Strivo Insert"},
    {0x1, "Standard Swipe in Keyboard Mode"},
    {0x2, "Standard Swipe"},
    {0x3, "Standard Insert"},
    {0x17, "Velarc Bluetooth Smart in Keyboard Mode"},
    {0x18, "Velarc Bluetooth Smart"},
    {0x19, "ePivra"},
    {0x119, "ePivra Bluetooth Smart"},
    {0x2251, "Inkward"},
    {0x12, "Strivo Boot Loader Mode"},
    {0x5357, "ODM(I) Boot Loader Mode"},
    {0x14, "Strivo Wireless Reader"},
    {0x1a, "ePivra OEM"},
    {0x1c, "tPivra"},
    {0x1d, "kPivra"},
    {0x1e, "Tidelink"},
    {0x1f, "iPivra 6"},
    {0x20, "iPivra5 Gen 3"},
    {0x21, "iPivra5 Gen 3 Keyboard Mode"},
    {0x11c, "tPivra Bluetooth Smart"},
};

constexpr int EMV_MODELS[] = {0x19, 0x119, 0x1a, 0x1c, 0x11c, 0x1d, 0x1e, 0x1f};
// Kept in step with the library's product table (ReaderModelsTest checks).
constexpr int LISTED_MODELS[] = {0x11, 0x13, 0x01, 0x19, 0x12, 0x5357, 0x1a,
                                 0x1c, 0x1d, 0x1e, 0x1f, 0x20, 0x21};

constexpr const char* ENCODE_TYPES[] = {"ISO",   "AAMVA",        "CADL", "BLANK",
                                        "OTHER", "UNDETERMINED", "NONE"};

}  // namespace

std::string modelName(int productId) {
    for (const Model& model : MODELS) {
        if (model.productId == productId) {
            return model.name;
        }
    }
    return std::string();
}

bool isListedModel(int productId) {
    for (int id : LISTED_MODELS) {
        if (id == productId) {
            return true;
        }
    }
    return false;
}

bool isEmvModel(int productId) {
    for (int id : EMV_MODELS) {
        if (id == productId) {
            return true;
        }
    }
    return false;
}

std::string serialFormat(const std::string& path) {
    auto trimmed = [](const std::string& text) {
        size_t first = text.find_first_not_of(" \t");
        size_t last = text.find_last_not_of(" \t");
        return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    };
    const std::string scheme = "SERIAL://";
    std::string format = "SLIP";
    if (upper(path.substr(0, scheme.size())) != scheme) {
        return format;
    }
    size_t start = scheme.size();
    while (start <= path.size()) {
        size_t comma = path.find(',', start);
        std::string option =
            path.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t eq = option.find('=');
        if (eq != std::string::npos && option.find('=', eq + 1) == std::string::npos) {
            std::string key = upper(trimmed(option.substr(0, eq)));
            std::string value = upper(trimmed(option.substr(eq + 1)));
            if (key == "FORMAT" && !value.empty()) {
                format = value;
            }
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return format;
}

bool isEmvSerialPath(const std::string& path) {
    std::string format = serialFormat(path);
    return format == "SLIP" || format == "TIDELINK";
}

std::string encodeTypeName(long type) {
    if (type < 0 || type >= static_cast<long>(sizeof(ENCODE_TYPES) / sizeof(ENCODE_TYPES[0]))) {
        return std::string();
    }
    return ENCODE_TYPES[type];
}

std::string resultMeaning(int code) {
    switch (code) {
        case 0:
            return "success";
        case 1:
            return "time-out, or the reader stayed busy";
        case 3:
            return "with-length command text shorter than four characters";
        case 5:
            return "no reader open, or the connection was closed or lost";
        case 6:
            return "command text or argument unusable";
        case 15:
            return "another command is in flight";
        case 17:
            return "device transfer failed, or the reader answered with an error status";
        case 255:
            return "internal error in the library";
        default:
            return "the reader's own result code";
    }
}

}  // namespace quorin::cli
