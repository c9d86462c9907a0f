#include <memory>

#include "board.h"
#include "harness.h"
#include "usb_board.h"

namespace {

class UsbLink : public BoardLink {
public:
    const char *name() const override { return "usb"; }
    upg_device *attach(kelsim::BoardPort &port) override {
        auto *board = dynamic_cast<kelsim::Board *>(&port);
        if (!board || !kelsim::UsbBoardSim::available())
            return nullptr;
        // The testbed must exist before libusb builds its device list.
        sim_ = std::make_unique<kelsim::UsbBoardSim>();
        if (sim_->attach(*board, 1, {1, 4}) < 0)
            return nullptr;
        if (libkelupg_init() != 0)
            return nullptr;
        const uint8_t path[UPG_PORT_PATH_LEN] = {1, 4};
        dev_ = upg_usb_dev_open(1, path);
        return dev_;
    }
    void detach() override {
        upg_usb_dev_close(dev_);
        dev_ = nullptr;
        // libusb lets go of the emulated devices before the testbed goes.
        libkelupg_exit();
        sim_.reset();
    }
    ~UsbLink() override {
        if (dev_ || sim_)
            detach();
    }

private:
    std::unique_ptr<kelsim::UsbBoardSim> sim_;
    upg_device *dev_ = nullptr;
};

}  // namespace

std::unique_ptr<BoardLink> makeUsbLink() {
    return std::make_unique<UsbLink>();
}
