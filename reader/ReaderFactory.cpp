// The reader factory, Strivo::open: the one file of reader/ that knows every
// model class, extended/ included, so that the reader core does not depend
// on the classes derived from it. The class of a product comes from the
// product table (common/ProductTable.h).
#include <memory>
#include <mutex>
#include <string>

#include "common/ProductTable.h"
#include "common/stdafx.h"
#include "extended/Veyra.h"
#include "extended/VeyraBle.h"
#include "extended/VeyraOEMStrivoBootLoader.h"
#include "extended/VeyraSerial.h"
#include "extended/tPivra.h"
#include "extended/tPivraBle.h"
#include "reader/Inkward.h"
#include "reader/Strivo.h"
#include "reader/StrivoBootLoader.h"

namespace quorin {

namespace {

// The reader a path gets without a class of its own: the serial
// extended-protocol reader for "SERIAL://", else the USB one.
Strivo* createForScheme(const std::string& scheme) {
    if (scheme.compare(0, 9, "SERIAL://") == 0) {
        return new VeyraSerial();
    }
    return new Veyra();
}

// The unopened reader object for the row (may be null) and the upper-cased
// path; null for a model that is refused.
Strivo* createForRow(const CRConfigTable* config, const std::string& scheme) {
    const ProductFacts* product = config != nullptr ? findProduct(config->dwPID) : nullptr;
    if (product == nullptr) {
        return createForScheme(scheme);
    }
    switch (product->family) {
        case ReaderFamily::PLAIN:
            return product->bootLoader ? new StrivoBootLoader() : new Strivo();
        case ReaderFamily::INKWARD:
            return new Inkward();
        case ReaderFamily::EXTENDED:
            return product->bootLoader ? new VeyraOEMStrivoBootLoader() : new Veyra();
        case ReaderFamily::EXTENDED_BLE:
            return new VeyraBle();
        case ReaderFamily::TPIVRA:
            return new tPivra();
        case ReaderFamily::TPIVRA_BLE:
            return new tPivraBle();
        case ReaderFamily::REFUSED:
            // A model the library knows by name but has no reader class
            // for; no enumerated reader carries it. Refuse it rather than
            // guess at its protocol.
            return nullptr;
        case ReaderFamily::BY_PATH:
            break;
    }
    return createForScheme(scheme);
}

}  // namespace

std::shared_ptr<Strivo> Strivo::open(const char* path, const CRConfigTable* config) {
    std::string scheme = path != nullptr ? UPPER(path) : std::string();
    // The deleter stops the connection's receiving thread while the whole
    // object, subclass state included, is still alive: no report can reach a
    // half-destroyed reader.
    std::shared_ptr<Strivo> reader(createForRow(config, scheme), [](Strivo* p) {
        if (p != nullptr) {
            p->stopConnection();
            delete p;
        }
    });
    if (!reader) {
        return nullptr;
    }
    if (!reader->_open(path, config)) {
        return nullptr;
    }
    {
        MutexLock guard(reader->cardLock);
        reader->rawData.m_dwDevicePID = config != nullptr ? config->dwPID : 0;
    }
    reader->afterOpen();
    return reader;
}

}  // namespace quorin
