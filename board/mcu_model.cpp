// MCU model: the lines, the application's version frames, the faults of the board and what a
// test or a report observes. The ROM bootloader is in mcu_rom_bootloader.cpp.
#include "mcu_model.h"

#include <algorithm>

namespace board {

namespace {

constexpr size_t kHeaderSize = 10;
// Paced timing of a character on the line: start bit, 8 data bits, parity, stop bit at 115200
// baud.
constexpr std::chrono::microseconds kCharTime{11 * 1000000 / 115200};
// The longest the GPIO model takes in a write after its writer closed the file.
constexpr std::chrono::milliseconds kLineLag{200};
// The initial stack pointer word of an erased flash: no application to start.
constexpr uint32_t kErasedWord = 0xFFFFFFFF;
const std::string kResetFiles = "gpio" + std::to_string(McuModel::kResetGpio) + "/";
const std::string kBootFiles = "gpio" + std::to_string(McuModel::kBootGpio) + "/";

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
    if (!w.applied) return;  // refused by sysfs (a line not exported): the level stays
    std::lock_guard<std::mutex> lock(mutex_);
    if (w.file.compare(0, kBootFiles.size(), kBootFiles) == 0) {
        boot_line_.write(w.file.substr(kBootFiles.size()), w.value);
    } else if (w.file.compare(0, kResetFiles.size(), kResetFiles) == 0) {
        const bool was_high = reset_line_.level();
        if (!reset_line_.write(w.file.substr(kResetFiles.size()), w.value)) return;
        // A reset pulse also brings back a supply that was cut.
        if (reset_line_.level() && !was_high)
            mode_ = Mode::in_reset;
        else if (!reset_line_.level() && was_high)
            start(boot_line_.level() ? Mode::bootloader : Mode::application);
    }
}

void McuModel::start(Mode mode) {
    mode_ = mode;
    running_.notify_all();
    app_in_.clear();
    boot_ = Boot::wait_sync;
    frame_.clear();
    if (mode == Mode::bootloader) {
        wrote_this_session_ = false;
        changed_flash_this_session_ = false;
        ++bootloader_entries_;
        silent_this_entry_ = boot_silent_entries_ > 0;
        if (boot_silent_entries_ > 0) {
            --boot_silent_entries_;
            ++faults_.silent_bootloader_entries;
        }
    } else if (mode == Mode::application) {
        // An image written in full replaces one that a cut left damaged.
        if (wrote_this_session_) damaged_ = false;
        if (wrote_this_session_ && !version_after_update_.empty()) body_ = version_body(version_after_update_);
        wrote_this_session_ = false;
        changed_flash_this_session_ = false;
        ++app_starts_;
        silent_this_start_ = app_silent_starts_ > 0;
        if (app_silent_starts_ > 0) {
            --app_silent_starts_;
            ++faults_.silent_app_starts;
        }
    }
}

// The supply fails: the bootloader's session ends where it stood, and an application whose
// flash it had begun to change is left damaged.
void McuModel::cut_power() {
    mode_ = Mode::unpowered;
    if (changed_flash_this_session_) damaged_ = true;
    wrote_this_session_ = false;
    changed_flash_this_session_ = false;
    boot_ = Boot::wait_sync;
    frame_.clear();
    cut_after_bytes_ = -1;
    cut_after_pages_ = -1;
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

// The body: one leading byte, the text, a NUL.
std::string McuModel::version_text(const std::vector<uint8_t>& body) {
    if (body.size() < 2) return "";
    return std::string(body.begin() + 1, std::find(body.begin() + 1, body.end(), 0));
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
    if (app_silent_ || silent_this_start_ || damaged_) return false;
    uint32_t first = static_cast<uint32_t>(flash_[0]) | static_cast<uint32_t>(flash_[1]) << 8 |
                     static_cast<uint32_t>(flash_[2]) << 16 | static_cast<uint32_t>(flash_[3]) << 24;
    return !app_needs_flash_ || first != kErasedWord;
}

bool McuModel::answers_version(std::string* text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ != Mode::application || !app_answers_locked()) return false;
    if (text && body_.size() >= 2) *text = version_text(body_);
    return true;
}

std::string McuModel::application_version() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return version_text(body_);
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
    nack_left_[stage] = count;
}

void McuModel::drop_next(Stage stage, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    drop_left_[stage] = count;
}

McuModel::CommandCounts McuModel::command_counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

McuModel::FaultCounts McuModel::fault_counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

void McuModel::set_receive_tap(std::function<void(size_t)> tap) {
    std::lock_guard<std::mutex> lock(mutex_);
    receive_tap_ = std::move(tap);
}

void McuModel::set_flash(uint32_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(bytes.begin(), bytes.end(), flash_.begin() + offset);
}

void McuModel::set_legacy_bootloader(bool legacy) {
    std::lock_guard<std::mutex> lock(mutex_);
    legacy_ = legacy;
}

void McuModel::power_cut_after_bytes(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    cut_after_bytes_ = static_cast<long>(bytes);
}

void McuModel::power_cut_after_pages(size_t pages) {
    std::lock_guard<std::mutex> lock(mutex_);
    cut_after_pages_ = static_cast<long>(pages);
    cut_pages_seen_.assign(kPages, false);
}

void McuModel::drop_answer_byte(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    lost_at_ = n == 0 ? 0 : sent_ + n;
}

std::vector<uint8_t> McuModel::flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

bool McuModel::flash_holds(const std::vector<uint8_t>& image) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (image.size() > flash_.size() || !std::equal(image.begin(), image.end(), flash_.begin())) return false;
    const size_t page_end = (image.size() + kPageSize - 1) / kPageSize * kPageSize;
    return std::all_of(flash_.begin() + static_cast<long>(image.size()), flash_.begin() + static_cast<long>(page_end),
                       [](uint8_t b) { return b == 0xFF; });
}

McuModel::LastingState McuModel::lasting_state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return LastingState{flash_, version_text(body_), damaged_};
}

bool McuModel::restore(const LastingState& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state.flash.size() != kFlashSize) return false;
    flash_ = state.flash;
    body_ = version_body(state.version);
    damaged_ = state.application_damaged;
    return true;
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
    std::function<void(size_t)> tap;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tap = receive_tap_;
    }
    if (tap) tap(len);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // Inside the bed a byte can overtake the reset line's fall that the host made before
        // sending it, as the GPIO model takes in each write a moment late: it waits that moment.
        testbed::board_wait_until(lock, running_, testbed::board_now() + kLineLag,
                                  [this] { return mode_ == Mode::application || mode_ == Mode::bootloader; });
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
        drop_lost_byte(&boot_out);
        for (auto& r : replies) drop_lost_byte(&r);
    }
    testbed::board_sleep_for(delay);
    if (!boot_out.empty()) peer_->send(boot_out);
    for (size_t i = 0; i < replies.size(); ++i) {
        if (i > 0) testbed::board_sleep_for(gap);
        if (!replies[i].empty()) peer_->send(replies[i]);
    }
}

// Counts the bytes about to be sent, in sending order, and takes out the one the line loses.
void McuModel::drop_lost_byte(std::vector<uint8_t>* bytes) {
    const uint64_t first = sent_ + 1;
    sent_ += bytes->size();
    if (lost_at_ >= first && lost_at_ <= sent_) {
        bytes->erase(bytes->begin() + static_cast<long>(lost_at_ - first));
        lost_at_ = 0;
        ++faults_.lost_bytes;
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
    if (!app_answers_locked()) {
        if (app_silent_) ++faults_.unanswered_queries;
        return;
    }
    std::vector<uint8_t> reply = version_reply();
    if (!surplus_.empty()) ++faults_.surplus_replies;
    if (!pieces_.empty() && pieces_[0] < reply.size()) ++faults_.split_replies;
    size_t pos = 0;
    for (size_t size : pieces_) {
        if (pos >= reply.size()) break;
        size_t n = std::min(size, reply.size() - pos);
        replies->emplace_back(reply.begin() + static_cast<long>(pos), reply.begin() + static_cast<long>(pos + n));
        pos += n;
    }
    if (pos < reply.size()) replies->emplace_back(reply.begin() + static_cast<long>(pos), reply.end());
}

}  // namespace board
