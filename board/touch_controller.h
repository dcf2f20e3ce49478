// Simulated touch controller behind "/dev/morlan_touch": its application firmware (version
// register, bootloader-entry request) and its flash bootloader answering host frames, with
// fault knobs and a record of every transfer and control request.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "char_device.h"

namespace board {

class TouchController : public testbed::CharDevice {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t ROW_SIZE = 128;
    using Row = std::array<uint8_t, ROW_SIZE>;

    // Bootloader status codes carried in the answer's status byte.
    static constexpr uint8_t STATUS_OK = 0x00;
    static constexpr uint8_t STATUS_ERR_LENGTH = 0x03;
    static constexpr uint8_t STATUS_ERR_DATA = 0x04;
    static constexpr uint8_t STATUS_ERR_CMD = 0x05;
    static constexpr uint8_t STATUS_ERR_CHECKSUM = 0x08;
    static constexpr uint8_t STATUS_ERR_ARRAY = 0x09;
    static constexpr uint8_t STATUS_ERR_ROW = 0x0A;

    // Bootloader command codes.
    static constexpr uint8_t CMD_GET_FLASH_SIZE = 0x32;
    static constexpr uint8_t CMD_SEND_DATA = 0x37;
    static constexpr uint8_t CMD_ENTER = 0x38;
    static constexpr uint8_t CMD_PROGRAM_ROW = 0x39;
    static constexpr uint8_t CMD_VERIFY_ROW = 0x3A;
    static constexpr uint8_t CMD_EXIT = 0x3B;

    enum class Mode { application, handover, bootloader, bootloader_open };

    struct IoctlCall {
        unsigned long request;
        unsigned long value;
        Clock::time_point at;
    };
    struct WriteCall {
        std::vector<uint8_t> bytes;
        long result;
        Clock::time_point at;
    };
    struct ReadCall {
        uint8_t offset;  // buf[0] as the caller stored it
        size_t len;
        long result;
        Clock::time_point at;
    };
    // A frame that the bootloader took in (well formed or not).
    struct Frame {
        uint8_t cmd;
        std::vector<uint8_t> data;
        size_t written;  // bytes of the write() that carried it
        Clock::time_point at;
    };

    // How the answer to one command is spoiled.
    struct AnswerFault {
        int status = -1;           // >= 0: this status byte instead of the real one
        bool bad_checksum = false;  // checksum bytes off by one
        bool bad_end = false;       // end byte 0x00 instead of 0x17
        bool no_answer = false;     // the start byte never shows
        int ready_poll = 1;         // the start byte shows on this poll at offset 0 (1: at once)
        bool replace_payload = false;
        std::vector<uint8_t> payload;  // with replace_payload: this payload (any length)
        int announce_len = -1;         // >= 0: this value in the 16-bit length field
    };

    TouchController();

    // Configuration.
    void set_version(uint8_t version);
    void set_rows(uint16_t first, uint16_t last);
    void set_enter_payload(std::vector<uint8_t> payload);
    // Frames written this soon after the entry request are refused (the chip restarts).
    void set_handover_time(Clock::duration t);
    // The version byte the application reports after a full update: the last row of the range
    // programmed (an image's last packet goes there) and every row programmed since the Enter
    // verified with its right checksum, then Exit. -1: the version stays.
    void set_version_after_update(int version);
    // The mode the controller starts in (a controller left in its bootloader stays there).
    void set_mode(Mode mode);

    // Faults. The next count writes (reads) fail: result < 0 is -errno, result >= 0 a short
    // count (a short read still fills the buffer).
    void fail_writes(int count, long result);
    void fail_reads(int count, long result);
    // Every later write of a frame with this command code fails with result.
    void fail_frame_writes(uint8_t cmd, long result);
    // occurrence 0: every answer to cmd; k > 0: only the answer to the k-th frame of cmd.
    void set_answer_fault(uint8_t cmd, const AnswerFault& fault, int occurrence = 0);
    // Verify Row of this row answers a checksum that is off by one.
    void set_wrong_row_checksum(uint16_t row);
    // Preloads a flash row (as left by an earlier firmware).
    void set_row(uint16_t row, const Row& content);
    // A row whose content was spoiled when it was programmed: its checksum reads back wrong
    // until it is programmed again.
    void set_damaged_row(uint16_t row);

    // What happened.
    Mode mode() const;
    std::vector<IoctlCall> ioctls() const;
    std::vector<WriteCall> writes() const;
    std::vector<ReadCall> reads() const;
    std::vector<Frame> frames() const;
    std::vector<uint16_t> programmed_rows() const;  // in the order programmed
    std::map<uint16_t, Row> flash() const;
    int entry_requests() const;
    int exits() const;
    uint8_t version() const;  // the application's version byte
    // Rows whose checksum reads back wrong (spoiled in programming), in order.
    std::vector<uint16_t> damaged_rows() const;
    // How often each fault took effect.
    struct FaultCounts {
        int failed_writes = 0, failed_reads = 0;  // by fail_writes / fail_reads
        int handover_transfers = 0;               // transfers refused while the chip restarts
        std::map<uint8_t, int> refused_frames;    // by command code (fail_frame_writes)
        std::map<uint8_t, int> spoiled_answers;   // by command code: withheld, changed or late
        std::map<uint16_t, int> wrong_row_checksums;  // Verify Row answers of a wrong row, by row
    };
    FaultCounts fault_counts() const;
    // Forgets the recorded calls and frames (flash, mode and counters stay).
    void clear_records();

    // The device side, called by the bed.
    long on_write(const uint8_t* data, size_t len) override;
    long on_read(uint8_t* buf, size_t len) override;
    long on_ioctl(unsigned long request, unsigned long arg) override;

    // 16-bit two's complement of the byte sum, as the frames carry it.
    static uint16_t frame_checksum(const uint8_t* p, size_t n);
    // The answer frame for a status and payload.
    static std::vector<uint8_t> build_frame(uint8_t status, const std::vector<uint8_t>& payload);

private:
    void update_mode_locked(Clock::time_point now);
    void take_frame_locked(const uint8_t* data, size_t len, Clock::time_point now);
    void answer_locked(uint8_t cmd, uint8_t status, std::vector<uint8_t> payload);
    uint8_t row_checksum_locked(uint16_t row) const;
    bool is_wrong_row_locked(uint16_t row) const;
    AnswerFault answer_fault_locked(uint8_t cmd) const;

    mutable std::mutex mutex_;
    Mode mode_ = Mode::application;
    uint8_t version_ = 0;
    uint16_t first_row_ = 0, last_row_ = 0xFF;
    std::vector<uint8_t> enter_payload_;
    Clock::duration handover_time_{0};
    Clock::time_point handover_at_{};

    int write_faults_ = 0, read_faults_ = 0;
    long write_fault_result_ = 0, read_fault_result_ = 0;
    std::map<uint8_t, std::map<int, AnswerFault>> answer_faults_;
    std::map<uint8_t, long> frame_write_faults_;
    std::map<uint8_t, int> cmd_counts_;
    std::vector<uint16_t> wrong_rows_;
    std::set<uint16_t> damaged_;
    int version_after_update_ = -1;
    std::set<uint16_t> session_programmed_, session_verified_;  // since the last Enter

    std::vector<uint8_t> row_acc_;  // Send Data bytes of the row being loaded
    std::map<uint16_t, Row> flash_;
    std::vector<uint16_t> programmed_;

    // The pending answer: visible at offset 0 from poll ready_poll on.
    bool has_answer_ = false;
    bool answer_visible_ = false;
    std::vector<uint8_t> answer_;
    int ready_poll_ = 1;
    int polls_ = 0;

    FaultCounts counts_;
    std::vector<IoctlCall> ioctls_;
    std::vector<WriteCall> writes_;
    std::vector<ReadCall> reads_;
    std::vector<Frame> frames_;
    int entry_requests_ = 0;
    int exits_ = 0;
};

}  // namespace board
