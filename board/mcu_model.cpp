// MCU model: application version frames and the AN3155 ROM bootloader state machine.
#include "mcu_model.h"

#include <algorithm>
#include <thread>

#include "sysfs_gpio.h"

namespace board {

namespace {

constexpr uint8_t kWriteMemory = 0x31;
constexpr uint8_t kExtendedErase = 0x44;
constexpr size_t kHeaderSize = 10;
// Paced timings. A character on the line: start bit, 8 data bits, parity, stop bit at 115200
// baud. Flash: typical page erase and half-word programming times of STM32F1-class flash.
constexpr std::chrono::microseconds kCharTime{11 * 1000000 / 115200};
constexpr std::chrono::microseconds kPageEraseTime{20000};
constexpr std::chrono::microseconds kHalfWordProgramTime{53};
// The initial stack pointer word of an erased flash: no application to start.
constexpr uint32_t kErasedWord = 0xFFFFFFFF;

uint8_t xor_of(const std::vector<uint8_t>& v, size_t from, size_t to) {
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i) x = static_cast<uint8_t>(x ^ v[i]);
    return x;
}

}  // namespace

McuModel::McuModel(int master) : flash_(kFlashSize, 0xFF) {
    set_version("1.0.0");
    peer_.reset(new SerialPeer(master, [this](const uint8_t* d, size_t n) { on_bytes(d, n); }));
}

// The peer's thread runs on_bytes, which sends through peer_: it ends before anything goes.
McuModel::~McuModel() { peer_->stop(); }

void McuModel::attach(SysfsGpio& gpio) {
    gpio.set_listener([this](const GpioWrite& w) { on_gpio(w); });
}

void McuModel::on_gpio(const GpioWrite& w) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (w.file == "gpio119/direction") {
        boot_high_ = w.value == "high";
    } else if (w.file == "gpio117/direction") {
        bool high = w.value == "high";
        if (high && !reset_high_) {
            reset_high_ = true;
            mode_ = Mode::in_reset;
        } else if (!high && reset_high_) {
            reset_high_ = false;
            start(boot_high_ ? Mode::bootloader : Mode::application);
        }
    }
}

void McuModel::start(Mode mode) {
    mode_ = mode;
    app_in_.clear();
    boot_ = Boot::wait_sync;
    frame_.clear();
    if (mode == Mode::bootloader) {
        wrote_this_session_ = false;
        ++bootloader_entries_;
        silent_this_entry_ = boot_silent_entries_ > 0;
        if (boot_silent_entries_ > 0) --boot_silent_entries_;
    } else if (mode == Mode::application) {
        if (wrote_this_session_ && !version_after_update_.empty()) body_ = version_body(version_after_update_);
        wrote_this_session_ = false;
        ++app_starts_;
        silent_this_start_ = app_silent_starts_ > 0;
        if (app_silent_starts_ > 0) --app_silent_starts_;
    }
}

void McuModel::reset_into(Mode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    start(mode);
}

McuModel::Mode McuModel::mode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_;
}

std::vector<uint8_t> McuModel::version_body(const std::string& text) {
    std::vector<uint8_t> body;
    body.push_back(0x4D);
    body.insert(body.end(), text.begin(), text.end());
    body.push_back(0);
    return body;
}

void McuModel::set_version(const std::string& text) { set_reply_body(version_body(text)); }

void McuModel::set_version_after_update(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_after_update_ = text;
}

void McuModel::set_reply_body(const std::vector<uint8_t>& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = body;
}

void McuModel::set_reply_code(uint8_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_code_ = code;
}

void McuModel::set_length_field(int length) {
    std::lock_guard<std::mutex> lock(mutex_);
    length_field_ = length;
}

void McuModel::set_app_silent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    app_silent_ = silent;
}

void McuModel::set_app_silent_starts(int starts) {
    std::lock_guard<std::mutex> lock(mutex_);
    app_silent_starts_ = starts;
}

void McuModel::set_app_silent_until_reset(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_this_start_ = silent;
}

void McuModel::set_reply_pieces(const std::vector<size_t>& sizes, std::chrono::milliseconds gap) {
    std::lock_guard<std::mutex> lock(mutex_);
    pieces_ = sizes;
    gap_ = gap;
}

void McuModel::set_reply_surplus(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    surplus_ = bytes;
}

void McuModel::set_app_needs_flash(bool needs) {
    std::lock_guard<std::mutex> lock(mutex_);
    app_needs_flash_ = needs;
}

void McuModel::set_paced(bool paced) {
    std::lock_guard<std::mutex> lock(mutex_);
    paced_ = paced;
}

bool McuModel::app_answers_locked() const {
    if (app_silent_ || silent_this_start_) return false;
    uint32_t first = static_cast<uint32_t>(flash_[0]) | static_cast<uint32_t>(flash_[1]) << 8 |
                     static_cast<uint32_t>(flash_[2]) << 16 | static_cast<uint32_t>(flash_[3]) << 24;
    return !app_needs_flash_ || first != kErasedWord;
}

bool McuModel::answers_version(std::string* text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ != Mode::application || !app_answers_locked()) return false;
    // The body: one leading byte, the text, a NUL.
    if (text && body_.size() >= 2) *text = std::string(body_.begin() + 1, std::find(body_.begin() + 1, body_.end(), 0));
    return true;
}

int McuModel::version_queries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return version_queries_;
}

void McuModel::set_bootloader_silent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    boot_silent_ = silent;
}

void McuModel::set_bootloader_silent_entries(int entries) {
    std::lock_guard<std::mutex> lock(mutex_);
    boot_silent_entries_ = entries;
}

void McuModel::nack_next(Stage stage, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    nack_stage_ = stage;
    nack_count_ = count;
}

void McuModel::drop_next(Stage stage, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    drop_stage_ = stage;
    drop_count_ = count;
}

void McuModel::set_flash(uint32_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(bytes.begin(), bytes.end(), flash_.begin() + offset);
}

std::vector<uint8_t> McuModel::flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

std::vector<McuModel::Command> McuModel::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

int McuModel::bootloader_entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bootloader_entries_;
}

int McuModel::app_starts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return app_starts_;
}

// ---- serial input ----

void McuModel::on_bytes(const uint8_t* data, size_t len) {
    std::vector<std::vector<uint8_t>> replies;  // application: pieces to send, in order
    std::vector<uint8_t> boot_out;
    std::chrono::milliseconds gap{0};
    std::chrono::microseconds delay{0};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < len; ++i) {
            if (mode_ == Mode::application)
                app_byte(data[i], &replies);
            else if (mode_ == Mode::bootloader)
                boot_byte(data[i], &boot_out);
        }
        gap = gap_;
        if (paced_) {
            size_t chars = len + boot_out.size();
            for (const auto& r : replies) chars += r.size();
            delay = kCharTime * static_cast<long>(chars) + flash_busy_;
        }
        flash_busy_ = std::chrono::microseconds(0);
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (!boot_out.empty()) peer_->send(boot_out);
    for (size_t i = 0; i < replies.size(); ++i) {
        if (i > 0 && gap.count() > 0) std::this_thread::sleep_for(gap);
        peer_->send(replies[i]);
    }
}

// ---- application firmware ----

std::vector<uint8_t> McuModel::version_reply() const {
    size_t len = length_field_ >= 0 ? static_cast<size_t>(length_field_) : body_.size();
    std::vector<uint8_t> r = {0xAA, 0xAA, 0x01, 0x00, reply_code_, 0x00, 0x00, 0x00,
                              static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
    r.insert(r.end(), body_.begin(), body_.end());
    r.insert(r.end(), surplus_.begin(), surplus_.end());
    return r;
}

// Frames: AA AA, bytes 2-7, length (big-endian) in bytes 8-9, then the payload.
void McuModel::app_byte(uint8_t b, std::vector<std::vector<uint8_t>>* replies) {
    app_in_.push_back(b);
    // Resynchronise on the AA AA start of a frame.
    while (!app_in_.empty() && app_in_[0] != 0xAA) app_in_.erase(app_in_.begin());
    if (app_in_.size() >= 2 && app_in_[1] != 0xAA) {
        app_in_.erase(app_in_.begin());
        return;
    }
    if (app_in_.size() < kHeaderSize) return;
    size_t len = static_cast<size_t>(app_in_[8]) * 256 + app_in_[9];
    if (app_in_.size() < kHeaderSize + len) return;
    uint8_t code = app_in_[4];
    app_in_.clear();
    if (code != 0x06) return;
    ++version_queries_;
    if (!app_answers_locked()) return;
    std::vector<uint8_t> reply = version_reply();
    size_t pos = 0;
    for (size_t size : pieces_) {
        if (pos >= reply.size()) break;
        size_t n = std::min(size, reply.size() - pos);
        replies->emplace_back(reply.begin() + static_cast<long>(pos), reply.begin() + static_cast<long>(pos + n));
        pos += n;
    }
    if (pos < reply.size()) replies->emplace_back(reply.begin() + static_cast<long>(pos), reply.end());
}

// ---- ROM bootloader ----

uint8_t McuModel::answer(Stage stage, bool ok) {
    if (ok && nack_count_ > 0 && (nack_stage_ == Stage::any || nack_stage_ == stage)) {
        --nack_count_;
        ok = false;
    }
    // After a refusal the bootloader waits for the next command.
    if (!ok && stage != Stage::sync) boot_ = Boot::command;
    drop_this_ = false;
    if (drop_count_ > 0 && (drop_stage_ == Stage::any || drop_stage_ == stage)) {
        --drop_count_;
        drop_this_ = true;
    }
    return ok ? kAck : kNack;
}

void McuModel::boot_byte(uint8_t b, std::vector<uint8_t>* out) {
    const bool silent = boot_silent_ || silent_this_entry_;
    auto reply = [&](uint8_t a) {
        if (!silent && !drop_this_) out->push_back(a);
    };
    if (silent && boot_ == Boot::wait_sync) return;  // never measures the baud rate: no answer at all
    frame_.push_back(b);
    switch (boot_) {
    case Boot::wait_sync:
        frame_.clear();
        if (b != 0x7F) return;
        {
            uint8_t a = answer(Stage::sync, true);
            if (a == kAck) boot_ = Boot::command;
            reply(a);
        }
        return;
    case Boot::command:
        if (frame_.size() < 2) return;
        {
            uint8_t code = frame_[0];
            bool ok = static_cast<uint8_t>(code ^ frame_[1]) == 0xFF && (code == kWriteMemory || code == kExtendedErase);
            frame_.clear();
            uint8_t a = answer(Stage::command, ok);
            if (a == kAck) boot_ = code == kWriteMemory ? Boot::wm_address : Boot::er_count;
            reply(a);
        }
        return;
    case Boot::wm_address:
        if (frame_.size() < 5) return;
        {
            uint32_t addr = static_cast<uint32_t>(frame_[0]) << 24 | static_cast<uint32_t>(frame_[1]) << 16 |
                            static_cast<uint32_t>(frame_[2]) << 8 | frame_[3];
            bool ok = xor_of(frame_, 0, 4) == frame_[4] && addr >= kFlashBase && addr < kFlashBase + kFlashSize;
            frame_.clear();
            address_ = addr;
            uint8_t a = answer(Stage::write_address, ok);
            if (a == kAck) boot_ = Boot::wm_count;
            reply(a);
        }
        return;
    case Boot::wm_count:
        expect_ = static_cast<size_t>(b) + 1;
        boot_ = Boot::wm_data;
        return;
    case Boot::wm_data:
        if (frame_.size() < 1 + expect_) return;
        boot_ = Boot::wm_sum;
        return;
    case Boot::wm_sum: {
        // frame_: N, N+1 data bytes, checksum
        size_t n = expect_;
        bool ok = xor_of(frame_, 0, 1 + n) == frame_[1 + n] && n % 4 == 0 &&
                  address_ + n <= kFlashBase + kFlashSize;
        uint32_t off = address_ - kFlashBase;
        if (ok) {
            for (size_t i = 0; i < n; ++i)
                if (flash_[off + i] != 0xFF) ok = false;  // programming needs erased cells
        }
        uint8_t a = answer(Stage::write_data, ok);
        if (a == kAck) {
            Command c{kWriteMemory, address_, std::vector<uint8_t>(frame_.begin() + 1, frame_.begin() + 1 + static_cast<long>(n)), {}};
            for (size_t i = 0; i < n; ++i) flash_[off + i] = c.data[i];
            flash_busy_ += kHalfWordProgramTime * static_cast<long>(n / 2);
            commands_.push_back(c);
            wrote_this_session_ = true;
            boot_ = Boot::command;
        }
        frame_.clear();
        reply(a);
        return;
    }
    case Boot::er_count:
        if (frame_.size() < 2) return;
        {
            size_t n = static_cast<size_t>(frame_[0]) << 8 | frame_[1];
            if (n >= 0xFFF0) {
                boot_ = Boot::er_special_sum;
            } else {
                expect_ = n + 1;
                boot_ = Boot::er_pages;
            }
        }
        return;
    case Boot::er_pages:
        if (frame_.size() < 2 + 2 * expect_) return;
        boot_ = Boot::er_sum;
        return;
    case Boot::er_sum: {
        size_t last = 2 + 2 * expect_;
        bool ok = xor_of(frame_, 0, last) == frame_[last];
        std::vector<uint16_t> pages;
        for (size_t i = 0; i < expect_; ++i) {
            uint16_t p = static_cast<uint16_t>(frame_[2 + 2 * i] << 8 | frame_[3 + 2 * i]);
            if (p >= kPages) ok = false;
            pages.push_back(p);
        }
        uint8_t a = answer(Stage::erase_pages, ok);
        if (a == kAck) {
            for (uint16_t p : pages)
                std::fill(flash_.begin() + p * kPageSize, flash_.begin() + (p + 1) * kPageSize, 0xFF);
            flash_busy_ += kPageEraseTime * static_cast<long>(pages.size());
            commands_.push_back(Command{kExtendedErase, 0, {}, pages});
            boot_ = Boot::command;
        }
        frame_.clear();
        reply(a);
        return;
    }
    case Boot::er_special_sum: {
        // 0xFFFF mass erase, 0xFFFE bank 1, 0xFFFD bank 2: one checksum byte follows.
        bool ok = static_cast<uint8_t>(frame_[0] ^ frame_[1]) == frame_[2] && frame_[1] >= 0xFD;
        uint8_t a = answer(Stage::erase_pages, ok);
        if (a == kAck) {
            std::fill(flash_.begin(), flash_.end(), 0xFF);
            flash_busy_ += kPageEraseTime * static_cast<long>(kPages);
            commands_.push_back(Command{kExtendedErase, 0, {}, {}});
            boot_ = Boot::command;
        }
        frame_.clear();
        reply(a);
        return;
    }
    }
}

}  // namespace board
