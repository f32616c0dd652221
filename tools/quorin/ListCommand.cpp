// quorin list: the attached USB readers.
#include "ArgParser.h"
#include "CliError.h"
#include "Commands.h"
#include "HidSurvey.h"
#include "JsonWriter.h"
#include "ListFollow.h"
#include "Output.h"
#include "Quorin.h"
#include "ReaderHandle.h"
#include "ReaderModels.h"
#include "SafeText.h"

namespace quorin::cli {

namespace {

struct Listed {
    std::string path;
    int productId = -1;  // -1: the reader could not be opened to ask
    std::string usbLocation;
};

void locationValue(JsonWriter& j, const std::string& location) {
    j.key("usbLocation").valueOrNull(location);
}

// "this user may open it", or why not.
std::string accessLine(const HidDevice& d) {
    if (!d.accessProblem.empty()) {
        return d.accessProblem;
    }
    if (d.access == HidDevice::Access::YES) {
        return "this user may open it";
    }
    if (d.access == HidDevice::Access::NO) {
        return "this user may not open it (" + d.accessNote + ")";
    }
    return "whether this user may open it is not known (" +
           std::string(d.notListed.empty() ? "no device node" : "not a reader: not opened") + ")";
}

// quorin list --all: every HID device, and why each is or is not a reader.
int listAll(bool json) {
    std::vector<HidDevice> devices = HidSurvey().devices(attachedReaders());
    Output& out = Output::instance();
    if (json) {
        JsonWriter j;
        j.beginArray();
        for (const HidDevice& d : devices) {
            j.beginObject()
                .key("path")
                .value(d.path)
                .key("vendorId")
                .value(d.vendorId)
                .key("productId")
                .value(d.productId)
                .key("manufacturer")
                .valueOrNull(d.manufacturer)
                .key("product")
                .valueOrNull(d.product)
                .key("serialNumber")
                .valueOrNull(d.serialNumber)
                .key("interface")
                .value(d.interfaceNumber);
            locationValue(j, d.usbLocation);
            j.key("node").valueOrNull(d.node).key("accessible");
            if (d.access == HidDevice::Access::UNKNOWN) {
                j.null();
            } else {
                j.value(d.access == HidDevice::Access::YES);
            }
            j.key("readerPath").valueOrNull(d.readerPath);
            j.key("notListed").valueOrNull(d.notListed);
            j.key("accessProblem").valueOrNull(d.accessProblem);
            j.endObject();
        }
        j.endArray();
        out.line(j.str());
        return EXIT_OK;
    }
    if (devices.empty()) {
        out.line("No HID device found.");
    }
    for (const HidDevice& d : devices) {
        std::string where = d.usbLocation.empty() ? "" : ", USB " + d.usbLocation;
        out.printf("%s: %04X:%04X \"%s\" \"%s\" serial \"%s\", interface %d%s\n",
                   safeText(d.path).c_str(), d.vendorId, d.productId,
                   safeText(d.manufacturer).c_str(), safeText(d.product).c_str(),
                   safeText(d.serialNumber).c_str(), d.interfaceNumber, where.c_str());
        std::string model = modelName(static_cast<int>(d.productId));
        if (!d.notListed.empty()) {
            out.printf("  not listed: %s\n", d.notListed.c_str());
        } else if (!d.readerPath.empty()) {
            out.printf("  listed as %s (%s)\n", safeText(d.readerPath).c_str(), model.c_str());
        } else {
            out.printf("  a reader (%s) that the library's list does not name alone\n",
                       model.c_str());
        }
        out.printf("  %s\n", safeText(accessLine(d)).c_str());
    }
    return EXIT_OK;
}

}  // namespace

int runList(const Args& args) {
    ArgParser parser(
        "quorin list [--json] [--follow | --all]",
        "Lists the attached USB card readers: device path, USB product ID and model\n"
        "(--json: also the USB location, \"1-2.3\" for bus 1, port 2, then port 3 of the hub\n"
        "there). Each reader is opened for a moment to read its product ID. Readers on\n"
        "serial ports are not listed; open them with --device SERIAL://PORT=...\n"
        "With --follow: each attached reader as \"PATH<tab>present\", then one line per\n"
        "reader plugged in or pulled out (\"PATH<tab>arrived\", \"PATH<tab>removed\"),\n"
        "until interrupted (exit status 130); nothing is opened.\n"
        "With --all: every HID device of the system, whether this user may open it, and\n"
        "for each that is not listed as a reader, or cannot be opened, why and what to do.");
    parser.flag("json", "Print a JSON array instead of text (--follow: one JSON object per line).");
    parser.flag("follow", "Go on printing readers as they are plugged in or pulled out.");
    parser.flag("all",
                "Every HID device: vendor and product IDs, strings, interface, system path, "
                "USB location, access, and why it is not listed.");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }

    if (parser.has("follow") && parser.has("all")) {
        throw usageError("--follow and --all do not go together");
    }
    if (parser.has("follow")) {
        return followDeviceList(parser.has("json"));
    }
    if (parser.has("all")) {
        return listAll(parser.has("json"));
    }

    std::vector<Listed> readers;
    const std::vector<std::string> paths = attachedReaders();
    const std::vector<HidDevice> devices = HidSurvey::describe(paths);
    for (const std::string& path : paths) {
        Listed entry;
        entry.path = path;
        unsigned long handle = OpenDeviceEx(path.c_str());
        if (handle != 0) {
            entry.productId = GetProductIDEx(handle);
            CloseDeviceEx(handle);
        }
        for (const HidDevice& d : devices) {
            if (d.readerPath == path) {
                entry.usbLocation = d.usbLocation;
            }
        }
        readers.push_back(entry);
    }

    Output& out = Output::instance();
    if (parser.has("json")) {
        JsonWriter j;
        j.beginArray();
        for (const Listed& r : readers) {
            j.beginObject().key("path").value(r.path);
            if (r.productId >= 0) {
                j.key("productId").value(r.productId).key("model").value(modelName(r.productId));
            } else {
                j.key("productId").null().key("model").null();
            }
            j.key("accessible").value(r.productId >= 0);
            locationValue(j, r.usbLocation);
            j.endObject();
        }
        j.endArray();
        out.line(j.str());
        return EXIT_OK;
    }
    if (readers.empty()) {
        out.line("No reader attached.");
        return EXIT_OK;
    }
    for (const Listed& r : readers) {
        std::string path = safeText(r.path);
        if (r.productId >= 0) {
            out.printf("%s\t0x%04X\t%s\n", path.c_str(), static_cast<unsigned>(r.productId),
                       modelName(r.productId).c_str());
        } else {
            out.printf("%s\t?\t(cannot open: in use, or no access)\n", path.c_str());
        }
    }
    return EXIT_OK;
}

}  // namespace quorin::cli
