// quorin list: the attached USB readers.
#include "ArgParser.h"
#include "CliError.h"
#include "Commands.h"
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
};

}  // namespace

int runList(const Args& args) {
    ArgParser parser(
        "quorin list [--json] [--follow]",
        "Lists the attached USB card readers: device path, USB product ID and model.\n"
        "Each reader is opened for a moment to read its product ID. Readers on serial\n"
        "ports are not listed; open them with --device SERIAL://PORT=...\n"
        "With --follow: each attached reader as \"PATH<tab>present\", then one line per\n"
        "reader plugged in or pulled out (\"PATH<tab>arrived\", \"PATH<tab>removed\"),\n"
        "until interrupted (exit status 130); nothing is opened.");
    parser.flag("json", "Print a JSON array instead of text (--follow: one JSON object per line).");
    parser.flag("follow", "Go on printing readers as they are plugged in or pulled out.");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }

    if (parser.has("follow")) {
        return followDeviceList(parser.has("json"));
    }

    std::vector<Listed> readers;
    for (const std::string& path : attachedReaders()) {
        Listed entry;
        entry.path = path;
        unsigned long handle = OpenDeviceEx(path.c_str());
        if (handle != 0) {
            entry.productId = GetProductIDEx(handle);
            CloseDeviceEx(handle);
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
            j.key("accessible").value(r.productId >= 0).endObject();
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
