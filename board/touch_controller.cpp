// Simulated touch controller: application firmware registers, hand-over to the bootloader,
// and the bootloader's frame handling over 128-byte flash rows.
#include "touch_controller.h"

#include <errno.h>

#include <algorithm>

#include "board_time.h"

namespace board {

namespace {

const uint8_t SOF = 0x01;
const uint8_t EOF_BYTE = 0x17;
const size_t FRAME_OVERHEAD = 7;
// Application firmware register that holds the firmware version.
const size_t VERSION_REG = 4;
// Entry request of the application firmware: hand over to the bootloader.
const uint8_t ENTRY_REQUEST[] = {0x00, 0x09, 0x5A};
// Identification the bootloader reports on Enter (silicon id, revision, bootloader version).
const std::vector<uint8_t> DEFAULT_ENTER_PAYLOAD = {0x11, 0x22, 0x33, 0x44, 0x01, 0x00, 0x01, 0x02};

}  // namespace

TouchController::TouchController() : enter_payload_(DEFAULT_ENTER_PAYLOAD) {}

uint16_t TouchController::frame_checksum(const uint8_t* p, size_t n) {
    uint16_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint16_t>(sum + p[i]);
    return static_cast<uint16_t>(0x10000 - sum);
}

std::vector<uint8_t> TouchController::build_frame(uint8_t status, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f(payload.size() + FRAME_OVERHEAD);
    f[0] = SOF;
    f[1] = status;
    f[2] = static_cast<uint8_t>(payload.size() & 0xFF);
    f[3] = static_cast<uint8_t>((payload.size() >> 8) & 0xFF);
    std::copy(payload.begin(), payload.end(), f.begin() + 4);
    f.resize(4 + payload.size());
    uint16_t c = frame_checksum(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(c & 0xFF));
    f.push_back(static_cast<uint8_t>(c >> 8));
    f.push_back(EOF_BYTE);
    return f;
}

void TouchController::set_version(uint8_t version) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_ = version;
}

void TouchController::set_rows(uint16_t first, uint16_t last) {
    std::lock_guard<std::mutex> lock(mutex_);
    first_row_ = first;
    last_row_ = last;
}

void TouchController::set_enter_payload(std::vector<uint8_t> payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    enter_payload_ = std::move(payload);
}

void TouchController::set_handover_time(Clock::duration t) {
    std::lock_guard<std::mutex> lock(mutex_);
    handover_time_ = t;
}

void TouchController::set_version_after_update(int version) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_after_update_ = version;
}

void TouchController::set_mode(Mode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
}

void TouchController::fail_writes(int count, long result) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_faults_ = count;
    write_fault_result_ = result;
}

void TouchController::fail_reads(int count, long result) {
    std::lock_guard<std::mutex> lock(mutex_);
    read_faults_ = count;
    read_fault_result_ = result;
}

void TouchController::fail_frame_writes(uint8_t cmd, long result) {
    std::lock_guard<std::mutex> lock(mutex_);
    frame_write_faults_[cmd] = result;
}

void TouchController::set_answer_fault(uint8_t cmd, const AnswerFault& fault, int occurrence) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_faults_[cmd][occurrence] = fault;
}

void TouchController::set_wrong_row_checksum(uint16_t row) {
    std::lock_guard<std::mutex> lock(mutex_);
    wrong_rows_.push_back(row);
}

void TouchController::set_row(uint16_t row, const Row& content) {
    std::lock_guard<std::mutex> lock(mutex_);
    flash_[row] = content;
}

void TouchController::set_damaged_row(uint16_t row) {
    std::lock_guard<std::mutex> lock(mutex_);
    damaged_.insert(row);
}

uint8_t TouchController::version() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

std::vector<uint16_t> TouchController::damaged_rows() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<uint16_t>(damaged_.begin(), damaged_.end());
}

TouchController::Mode TouchController::mode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_;
}

std::vector<TouchController::IoctlCall> TouchController::ioctls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ioctls_;
}

std::vector<TouchController::WriteCall> TouchController::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<TouchController::ReadCall> TouchController::reads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
}

std::vector<TouchController::Frame> TouchController::frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::vector<uint16_t> TouchController::programmed_rows() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return programmed_;
}

std::map<uint16_t, TouchController::Row> TouchController::flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

int TouchController::entry_requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entry_requests_;
}

void TouchController::clear_records() {
    std::lock_guard<std::mutex> lock(mutex_);
    ioctls_.clear();
    writes_.clear();
    reads_.clear();
    frames_.clear();
}

TouchController::FaultCounts TouchController::fault_counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

int TouchController::exits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exits_;
}

void TouchController::update_mode_locked(Clock::time_point now) {
    if (mode_ == Mode::handover && now - handover_at_ >= handover_time_) mode_ = Mode::bootloader;
}

long TouchController::on_write(const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = testbed::board_now();
    update_mode_locked(now);
    long result = static_cast<long>(len);
    auto frame_fault = len >= 2 && data[0] == SOF && mode_ != Mode::application ? frame_write_faults_.find(data[1])
                                                                                 : frame_write_faults_.end();
    if (write_faults_ > 0) {
        --write_faults_;
        ++counts_.failed_writes;
        result = write_fault_result_;  // the transfer did not reach the controller
    } else if (frame_fault != frame_write_faults_.end()) {
        ++counts_.refused_frames[data[1]];
        result = frame_fault->second;
    } else if (mode_ == Mode::application) {
        if (len >= sizeof ENTRY_REQUEST && std::equal(ENTRY_REQUEST, ENTRY_REQUEST + sizeof ENTRY_REQUEST, data)) {
            ++entry_requests_;
            mode_ = Mode::handover;
            handover_at_ = now;
            update_mode_locked(now);
        }
    } else if (mode_ == Mode::handover) {
        ++counts_.handover_transfers;
        result = -EIO;  // restarting: the chip does not acknowledge its bus address
    } else {
        take_frame_locked(data, len, now);
    }
    writes_.push_back({std::vector<uint8_t>(data, data + len), result, now});
    return result;
}

void TouchController::take_frame_locked(const uint8_t* d, size_t len, Clock::time_point now) {
    has_answer_ = answer_visible_ = false;  // a new frame drops the previous answer
    answer_.clear();
    // The bootloader's own checks, in its order: the start byte and the least size, the
    // announced length against the bytes that came, the end byte, then the checksum.
    if (len < FRAME_OVERHEAD || d[0] != SOF) return answer_locked(0, STATUS_ERR_DATA, {});
    const uint8_t cmd = d[1];
    const size_t n = d[2] | d[3] << 8;
    if (n + FRAME_OVERHEAD > len) return answer_locked(cmd, STATUS_ERR_LENGTH, {});
    frames_.push_back({cmd, std::vector<uint8_t>(d + 4, d + 4 + n), len, now});
    ++cmd_counts_[cmd];
    if (d[n + 6] != EOF_BYTE) return answer_locked(cmd, STATUS_ERR_DATA, {});
    const uint16_t sum = static_cast<uint16_t>(d[n + 4] | d[n + 5] << 8);
    if (sum != frame_checksum(d, n + 4)) return answer_locked(cmd, STATUS_ERR_CHECKSUM, {});
    const uint8_t* data = d + 4;
    if (cmd == CMD_EXIT) {  // leaves the bootloader without an answer
        const bool full = session_programmed_.count(last_row_) && session_verified_ == session_programmed_;
        if (full && version_after_update_ >= 0) version_ = static_cast<uint8_t>(version_after_update_);
        mode_ = Mode::application;
        row_acc_.clear();
        ++exits_;
        return;
    }
    if (cmd == CMD_ENTER) {
        if (n != 0) return answer_locked(cmd, STATUS_ERR_DATA, {});  // Enter carries no data
        mode_ = Mode::bootloader_open;
        row_acc_.clear();
        session_programmed_.clear();
        session_verified_.clear();
        answer_locked(cmd, STATUS_OK, enter_payload_);
        return;
    }
    const bool known = cmd == CMD_GET_FLASH_SIZE || cmd == CMD_SEND_DATA || cmd == CMD_PROGRAM_ROW || cmd == CMD_VERIFY_ROW;
    if (!known) return answer_locked(cmd, STATUS_ERR_CMD, {});  // a reserved or unknown code
    // Before Enter the bootloader takes no command: it answers that the data is not of the form
    // it expects.
    if (mode_ != Mode::bootloader_open) return answer_locked(cmd, STATUS_ERR_DATA, {});
    const auto row_of = [&] { return static_cast<uint16_t>(data[1] | data[2] << 8); };
    const auto row_ok = [&](uint16_t r) { return r >= first_row_ && r <= last_row_; };
    switch (cmd) {
    case CMD_GET_FLASH_SIZE:
        if (n != 1) return answer_locked(cmd, STATUS_ERR_LENGTH, {});
        if (data[0] != 0) return answer_locked(cmd, STATUS_ERR_ARRAY, {});
        return answer_locked(cmd, STATUS_OK,
                             {static_cast<uint8_t>(first_row_ & 0xFF), static_cast<uint8_t>(first_row_ >> 8),
                              static_cast<uint8_t>(last_row_ & 0xFF), static_cast<uint8_t>(last_row_ >> 8)});
    case CMD_SEND_DATA:
        if (row_acc_.size() + n > ROW_SIZE) {
            row_acc_.clear();
            return answer_locked(cmd, STATUS_ERR_LENGTH, {});
        }
        row_acc_.insert(row_acc_.end(), data, data + n);
        return answer_locked(cmd, STATUS_OK, {});
    case CMD_PROGRAM_ROW: {
        // Every Program Row ends the row being loaded, whether it is taken or not.
        std::vector<uint8_t> bytes = row_acc_;
        row_acc_.clear();
        if (n < 3) return answer_locked(cmd, STATUS_ERR_LENGTH, {});
        if (data[0] != 0) return answer_locked(cmd, STATUS_ERR_ARRAY, {});
        bytes.insert(bytes.end(), data + 3, data + n);
        if (bytes.size() != ROW_SIZE) return answer_locked(cmd, STATUS_ERR_LENGTH, {});
        const uint16_t r = row_of();
        if (!row_ok(r)) return answer_locked(cmd, STATUS_ERR_ROW, {});
        std::copy(bytes.begin(), bytes.end(), flash_[r].begin());
        programmed_.push_back(r);
        session_programmed_.insert(r);
        session_verified_.erase(r);
        if (is_wrong_row_locked(r))
            damaged_.insert(r);
        else
            damaged_.erase(r);
        return answer_locked(cmd, STATUS_OK, {});
    }
    case CMD_VERIFY_ROW: {
        if (n != 3) return answer_locked(cmd, STATUS_ERR_LENGTH, {});
        if (data[0] != 0) return answer_locked(cmd, STATUS_ERR_ARRAY, {});
        const uint16_t r = row_of();
        if (!row_ok(r)) return answer_locked(cmd, STATUS_ERR_ROW, {});
        // Checked: the host got the row's right checksum in an intact answer.
        const AnswerFault f = answer_fault_locked(cmd);
        const bool intact = !f.no_answer && f.status < 0 && !f.bad_checksum && !f.bad_end && !f.replace_payload &&
                            f.announce_len < 0;
        if (intact && !damaged_.count(r) && !is_wrong_row_locked(r) && session_programmed_.count(r))
            session_verified_.insert(r);
        if (is_wrong_row_locked(r)) ++counts_.wrong_row_checksums[r];
        return answer_locked(cmd, STATUS_OK, {row_checksum_locked(r)});
    }
    }
}

bool TouchController::is_wrong_row_locked(uint16_t row) const {
    return std::find(wrong_rows_.begin(), wrong_rows_.end(), row) != wrong_rows_.end();
}

uint8_t TouchController::row_checksum_locked(uint16_t row) const {
    uint8_t sum = 0;
    auto it = flash_.find(row);
    if (it != flash_.end())
        for (uint8_t b : it->second) sum = static_cast<uint8_t>(sum + b);
    uint8_t cs = static_cast<uint8_t>(0 - sum);
    if (damaged_.count(row) || is_wrong_row_locked(row)) cs = static_cast<uint8_t>(cs + 1);
    return cs;
}

TouchController::AnswerFault TouchController::answer_fault_locked(uint8_t cmd) const {
    auto faults = answer_faults_.find(cmd);
    if (faults != answer_faults_.end()) {
        auto count = cmd_counts_.find(cmd);
        auto one = faults->second.find(count == cmd_counts_.end() ? 0 : count->second);
        auto every = faults->second.find(0);
        if (one != faults->second.end()) return one->second;
        if (every != faults->second.end()) return every->second;
    }
    return AnswerFault();
}

void TouchController::answer_locked(uint8_t cmd, uint8_t status, std::vector<uint8_t> payload) {
    AnswerFault fault = answer_fault_locked(cmd);
    if (fault.no_answer || fault.status >= 0 || fault.bad_checksum || fault.bad_end || fault.ready_poll > 1 ||
        fault.replace_payload || fault.announce_len >= 0)
        ++counts_.spoiled_answers[cmd];
    if (fault.no_answer) return;
    if (fault.status >= 0) status = static_cast<uint8_t>(fault.status);
    if (fault.replace_payload) payload = fault.payload;
    std::vector<uint8_t> f = build_frame(status, payload);
    const size_t n = payload.size();
    if (fault.bad_checksum) {
        f[n + 4] = static_cast<uint8_t>(f[n + 4] + 1);
    }
    if (fault.bad_end) f[n + 6] = 0x00;
    if (fault.announce_len >= 0) {
        f[2] = static_cast<uint8_t>(fault.announce_len & 0xFF);
        f[3] = static_cast<uint8_t>((fault.announce_len >> 8) & 0xFF);
    }
    answer_ = std::move(f);
    has_answer_ = true;
    answer_visible_ = false;
    ready_poll_ = fault.ready_poll;
    polls_ = 0;
}

long TouchController::on_read(uint8_t* buf, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = testbed::board_now();
    update_mode_locked(now);
    const uint8_t offset = len ? buf[0] : 0;
    long result = static_cast<long>(len);
    if (read_faults_ > 0) {
        --read_faults_;
        ++counts_.failed_reads;
        result = read_fault_result_;
        if (result < 0) {
            reads_.push_back({offset, len, result, now});
            return result;
        }
    }
    if (mode_ == Mode::application) {
        for (size_t i = 0; i < len; ++i) buf[i] = offset + i == VERSION_REG ? version_ : 0;
    } else if (mode_ == Mode::handover) {
        ++counts_.handover_transfers;
        result = -EIO;
    } else {
        if (offset == 0 && has_answer_ && !answer_visible_ && ++polls_ >= ready_poll_) answer_visible_ = true;
        for (size_t i = 0; i < len; ++i) {
            size_t at = offset + i;
            buf[i] = answer_visible_ && at < answer_.size() ? answer_[at] : 0;
        }
    }
    reads_.push_back({offset, len, result, now});
    return result;
}

long TouchController::on_ioctl(unsigned long request, unsigned long arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    ioctls_.push_back({request, arg, testbed::board_now()});
    return 0;
}

}  // namespace board
