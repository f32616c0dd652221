// The USB scenarios on the virtual bus (libquorin-virtualhid.so.0 stands in
// for hidapi).
#include "UsbSeam.h"
#include "virtualhid/VirtualHid.h"

namespace quorin_test {

namespace {

using quorin_sim::VirtualHid;
using quorin_sim::VirtualReader;

class VirtualBusSeam : public UsbSeam {
public:
    std::string name() const override { return "virtual bus"; }
    void reset() override { VirtualHid::instance().reset(); }
    bool plug(const std::shared_ptr<VirtualReader>& reader) override {
        reader->replug();  // a reader pulled out before is back
        VirtualHid::instance().attach(reader);
        return true;
    }
    void unplug(const std::shared_ptr<VirtualReader>& reader) override {
        VirtualHid::instance().detach(reader);
    }
    void setAccess(const std::shared_ptr<VirtualReader>& reader, bool allowed) override {
        reader->setAccessible(allowed);
    }
    std::string usbLocation(const std::shared_ptr<VirtualReader>& /*reader*/) override {
        return "";
    }
    int openHandles() const override { return VirtualHid::instance().openHandles(); }
};

}  // namespace

UsbSeam& UsbSeam::instance() {
    static VirtualBusSeam seam;
    return seam;
}

}  // namespace quorin_test
