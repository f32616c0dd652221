// Where the USB scenarios run: a bus that carries reader models
// (VirtualReader and its models) to the library under test. Each test
// executable links one seam:
//  - the virtual bus (VirtualBusSeam.cpp): our hidapi stand-in;
//  - umockdev (UmockdevSeam.cpp): Debian's unmodified hidapi (hidraw backend)
//    on emulated kernel hidraw nodes.
// The scenarios are written once against this interface, so a behaviour in
// which the stand-in and the real hidapi differ shows up as a failing pair.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "virtualhid/VirtualReader.h"

namespace quorin_test {

class UsbSeam {
public:
    virtual ~UsbSeam() = default;

    // The seam of this executable.
    static UsbSeam& instance();

    virtual std::string name() const = 0;
    // Takes every reader off the bus.
    virtual void reset() = 0;
    // Puts the reader on the bus; its path() is set afterwards.
    virtual bool plug(const std::shared_ptr<quorin_sim::VirtualReader>& reader) = 0;
    // Pulls the reader out while handles may be open on it.
    virtual void unplug(const std::shared_ptr<quorin_sim::VirtualReader>& reader) = 0;
    // Puts the reader on the bus with a description the enumeration cannot
    // list yet (as a node the system announces before it is complete);
    // completeListing() finishes it, without a further device event. False
    // when the seam cannot play this.
    virtual bool plugNotYetListed(const std::shared_ptr<quorin_sim::VirtualReader>& /*reader*/) {
        return false;
    }
    virtual void completeListing(const std::shared_ptr<quorin_sim::VirtualReader>& /*reader*/) {}
    // Whether a user other than root and the test's own may open the
    // reader: the virtual bus refuses or allows the open itself; on umockdev
    // the node's mode says so (0666, or 0600).
    virtual void setAccess(const std::shared_ptr<quorin_sim::VirtualReader>& reader,
                           bool allowed) = 0;
    // The reader's USB location as the seam describes it ("1-2"), "" when
    // it has none (the virtual bus's hidraw nodes are not in sysfs).
    virtual std::string usbLocation(const std::shared_ptr<quorin_sim::VirtualReader>& reader) = 0;
    // Handles open on every reader of the bus (umockdev learns of an open or
    // a close shortly after the call returns: wait on it).
    virtual int openHandles() const = 0;

    template <class T, class... Args>
    std::shared_ptr<T> add(Args&&... args) {
        auto reader = std::make_shared<T>(std::forward<Args>(args)...);
        return plug(reader) ? reader : nullptr;
    }
};

}  // namespace quorin_test
