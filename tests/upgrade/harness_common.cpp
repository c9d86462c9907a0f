#include "harness.h"

#include <chrono>
#include <thread>

#include "serial_line.h"
#include "upg_log.h"

namespace {

std::mutex g_logMu;
std::vector<std::pair<int, std::string>> g_log;

void sink(int level, const char *text) {
    std::lock_guard<std::mutex> l(g_logMu);
    g_log.emplace_back(level, text);
}

class SerialLink : public BoardLink {
public:
    const char *name() const override { return "serial"; }
    upg_device *attach(kelsim::BoardPort &board) override {
        line_ = std::make_unique<kelsim::SerialLine>(board);
        std::string err;
        if (!line_->start(&err))
            return nullptr;
        if (libkelupg_init() != 0)
            return nullptr;
        dev_ = upg_uart_dev_open(line_->slavePath().c_str(), nullptr);
        if (!dev_)
            return nullptr;
        // The manager thread's first probe makes the line usable.
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!upg_uart_dev_connected(dev_) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return upg_uart_dev_connected(dev_) ? dev_ : nullptr;
    }
    void detach() override {
        upg_uart_dev_close(dev_);
        dev_ = nullptr;
        libkelupg_exit();
        if (line_)
            line_->stop();
        line_.reset();
    }
    ~SerialLink() override {
        if (dev_ || line_)
            detach();
    }

private:
    std::unique_ptr<kelsim::SerialLine> line_;
    upg_device *dev_ = nullptr;
};

}  // namespace

LogCapture::LogCapture() {
    clear();
    upg_log_set_callback(sink);
}

LogCapture::~LogCapture() {
    upg_log_set_callback(nullptr);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> l(g_logMu);
    std::vector<std::string> v;
    for (const auto &e : g_log)
        v.push_back(e.second);
    return v;
}

bool LogCapture::has(const std::string &text) const {
    std::lock_guard<std::mutex> l(g_logMu);
    for (const auto &e : g_log)
        if (e.first == UPG_LOG_ERR && e.second.find(text) != std::string::npos)
            return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> l(g_logMu);
    g_log.clear();
}

std::string LogCapture::dump() const {
    std::string s;
    for (const auto &l : lines())
        s += l + "\n";
    return s;
}

std::unique_ptr<BoardLink> makeSerialLink() {
    return std::make_unique<SerialLink>();
}
