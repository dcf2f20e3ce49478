// "/dev/ttyS1": the MCU's serial line. The ROM bootloader's USART protocol (ST's AN3155: sync
// 0x7F, command and complement, address and data frames with their XOR, ACK 0x79 / NACK 0x1F)
// and the application's version frames (AA AA 01 00 CODE 00 00 00 LEN_HI LEN_LO, then LEN
// body bytes). Both directions are byte streams: a frame may come in any number of reads.
#include <stdio.h>

#include <map>

#include "trace_decoders.h"

namespace boardsim {

namespace {

constexpr uint8_t kSync = 0x7F, kAck = 0x79, kNack = 0x1F;
constexpr uint8_t kGet = 0x00, kGetVersion = 0x01, kGetId = 0x02, kReadMemory = 0x11, kGo = 0x21,
                  kWriteMemory = 0x31, kErase = 0x43, kExtendedErase = 0x44;
constexpr uint8_t kFrameMark = 0xAA;
constexpr size_t kVersionHeader = 10, kVersionCodeAt = 4, kVersionLengthAt = 8;
constexpr size_t kAddressFrame = 5;   // four address bytes, most significant first, and their XOR
constexpr uint16_t kSpecialErase = 0xFFF0;

const std::map<uint8_t, const char*> kCommands = {
    {kGet, "Get"}, {kGetVersion, "Get Version"}, {kGetId, "Get ID"}, {kReadMemory, "Read Memory"}, {kGo, "Go"},
    {kWriteMemory, "Write Memory"}, {kErase, "Erase"}, {kExtendedErase, "Extended Erase"},
    {0x63, "Write Protect"}, {0x73, "Write Unprotect"}, {0x82, "Readout Protect"}, {0x92, "Readout Unprotect"}};

uint8_t xor_of(const ByteStream& b, size_t from, size_t to) {
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i) x = static_cast<uint8_t>(x ^ b[i]);
    return x;
}

std::string checksum_text(uint8_t got, uint8_t want) {
    return got == want ? "checksum " + hex2(got) : "checksum " + hex2(got) + " WRONG, not " + hex2(want);
}

// "0-63,70": page numbers as runs.
std::string page_runs(const std::vector<unsigned>& pages) {
    std::string text;
    for (size_t i = 0; i < pages.size();) {
        size_t j = i;
        while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1) ++j;
        if (!text.empty()) text += ',';
        text += std::to_string(pages[i]);
        if (j > i) text += "-" + std::to_string(pages[j]);
        i = j + 1;
    }
    return text;
}

std::string printable(const std::vector<uint8_t>& b, size_t from) {
    std::string text;
    for (size_t i = from; i < b.size() && b[i] != 0; ++i)
        text += b[i] >= ' ' && b[i] < 0x7f && b[i] != '"' && b[i] != '\\' ? std::string(1, static_cast<char>(b[i]))
                                                                          : "\\x" + hex2(b[i]).substr(2);
    return text;
}

// What the host sends next: the stage of the command under way.
enum class HostNext { command, address, read_count, write_data, erase_list, ext_erase_list };
// What the MCU sends after its next ACK, beyond further ACKs.
enum class After { nothing, get_reply, version_block, id_reply, read_block };

class SerialDecoder : public DeviceDecoder {
public:
    using DeviceDecoder::DeviceDecoder;

    void host_bytes(const TraceEvent& e, const std::vector<uint8_t>& bytes) override {
        host_.append(bytes);
        while (host_step(e)) {
        }
    }
    void device_bytes(const TraceEvent& e, const std::vector<uint8_t>& bytes) override {
        dev_.append(bytes);
        while (device_step(e)) {
        }
    }
    void resync(const TraceEvent& e) override {
        for (uint8_t b : host_.take_all()) host_raw_.add(b);
        for (uint8_t b : dev_.take_all()) dev_raw_.add(b);
        flush_raw(e, kToDevice, &host_raw_, "incomplete");
        flush_raw(e, kFromDevice, &dev_raw_, "incomplete");
        next_ = HostNext::command;
        after_ack_ = expect_ = After::nothing;
        query_pending_ = false;
    }

private:
    void flush_raw(const TraceEvent& e, const char* dir, RawRun* raw, const std::string& why = "no frame") {
        if (!raw->empty()) emit(e, dir, raw->take(why));
    }
    void host_msg(const TraceEvent& e, size_t used, const std::string& text, std::vector<uint8_t> data = {}) {
        flush_raw(e, kToDevice, &host_raw_);
        host_.drop(used);
        emit(e, kToDevice, text, std::move(data));
    }
    void dev_msg(const TraceEvent& e, size_t used, const std::string& text, std::vector<uint8_t> data = {}) {
        flush_raw(e, kFromDevice, &dev_raw_);
        dev_.drop(used);
        emit(e, kFromDevice, text, std::move(data));
    }
    std::string name() const {
        auto it = kCommands.find(cmd_);
        return it == kCommands.end() ? "command " + hex2(cmd_) : it->second;
    }

    // One host message off the front of the stream; false when the bytes are not all there.
    bool host_step(const TraceEvent& e) {
        const ByteStream& b = host_;
        if (b.empty()) return false;
        switch (next_) {
        case HostNext::command: return host_command(e);
        case HostNext::address: {
            if (b.size() < kAddressFrame) return false;
            const uint32_t a = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
            address_ = a;
            next_ = cmd_ == kReadMemory ? HostNext::read_count : cmd_ == kWriteMemory ? HostNext::write_data
                                                                                      : HostNext::command;
            char text[24];
            snprintf(text, sizeof text, "0x%08x", a);
            host_msg(e, kAddressFrame, name() + " address " + text + " (" + checksum_text(b[4], xor_of(b, 0, 4)) + ")");
            return true;
        }
        case HostNext::read_count: {
            if (b.size() < 2) return false;
            const unsigned n = b[0] + 1u;
            const bool ok = static_cast<uint8_t>(b[0] ^ b[1]) == 0xFF;
            next_ = HostNext::command;
            after_ack_ = After::read_block;
            read_len_ = n;
            host_msg(e, 2, "Read Memory count " + std::to_string(n) + " bytes (" + hex2(b[0]) + " " + hex2(b[1]) +
                               (ok ? ")" : ", complement WRONG)"));
            return true;
        }
        case HostNext::write_data: {
            const size_t n = b[0] + 1u;
            if (b.size() < n + 2) return false;
            char text[64];
            snprintf(text, sizeof text, "Write Memory at 0x%08x, %zu bytes", address_, n);
            next_ = HostNext::command;
            // The checksum shows only when wrong: the block's bytes are compared one by one.
            const uint8_t want = xor_of(b, 0, n + 1);
            host_msg(e, n + 2, std::string(text) + (b[n + 1] == want ? "" : " (" + checksum_text(b[n + 1], want) + ")"),
                     b.copy(1, 1 + n));
            return true;
        }
        case HostNext::erase_list: {
            // The list may come in several writes: the state stays until the whole of it is here.
            if (b.size() < 2) return false;
            if (b[0] == 0xFF) {
                next_ = HostNext::command;
                host_msg(e, 2, std::string("Erase all pages (0xff ") + hex2(b[1]) + (b[1] == 0 ? ")" : ", WRONG)"));
                return true;
            }
            const size_t n = b[0] + 1u;
            if (b.size() < n + 2) return false;
            next_ = HostNext::command;
            std::vector<unsigned> pages;
            for (size_t i = 1; i <= n; ++i) pages.push_back(b[i]);
            host_msg(e, n + 2, "Erase pages " + page_runs(pages) + " (" + checksum_text(b[n + 1], xor_of(b, 0, n + 1)) + ")");
            return true;
        }
        case HostNext::ext_erase_list: return host_ext_erase(e);
        }
        return false;
    }

    bool host_command(const TraceEvent& e) {
        const ByteStream& b = host_;
        if (b[0] == kSync) {
            after_ack_ = After::nothing;
            host_msg(e, 1, "sync 0x7f");
            return true;
        }
        if (b[0] == kFrameMark) {
            if (b.size() < 2) return false;
            if (b[1] == kFrameMark) return host_version_frame(e);
        } else if (kCommands.count(b[0])) {
            if (b.size() < 2) return false;
            if (static_cast<uint8_t>(b[0] ^ b[1]) == 0xFF) {
                cmd_ = b[0];
                after_ack_ = cmd_ == kGet ? After::get_reply : cmd_ == kGetVersion ? After::version_block
                             : cmd_ == kGetId ? After::id_reply : After::nothing;
                next_ = cmd_ == kReadMemory || cmd_ == kGo || cmd_ == kWriteMemory ? HostNext::address
                        : cmd_ == kErase ? HostNext::erase_list
                        : cmd_ == kExtendedErase ? HostNext::ext_erase_list : HostNext::command;
                host_msg(e, 2, name() + " (" + hex2(b[0]) + " " + hex2(b[1]) + ")");
                return true;
            }
        }
        host_raw_.add(b[0]);
        host_.drop(1);
        return true;
    }

    bool host_version_frame(const TraceEvent& e) {
        const ByteStream& b = host_;
        if (b.size() < kVersionHeader) return false;
        const size_t len = b[kVersionLengthAt] * 256u + b[kVersionLengthAt + 1];
        if (b.size() < kVersionHeader + len) return false;
        query_pending_ = true;
        host_msg(e, kVersionHeader + len,
                 "version query (code " + hex2(b[kVersionCodeAt]) + ", body " +
                     hex_spaced(b.copy(kVersionHeader, kVersionHeader + len), 0, len) + ")");
        return true;
    }

    bool host_ext_erase(const TraceEvent& e) {
        const ByteStream& b = host_;
        if (b.size() < 3) return false;
        const unsigned n = b[0] * 256u + b[1];
        if (n >= kSpecialErase) {
            next_ = HostNext::command;
            const char* what = n == 0xFFFF ? "mass erase" : n == 0xFFFE ? "bank 1" : n == 0xFFFD ? "bank 2" : "special";
            host_msg(e, 3, std::string("Extended Erase ") + what + " (" + hex2(n) + ", " +
                               checksum_text(b[2], xor_of(b, 0, 2)) + ")");
            return true;
        }
        const size_t bytes = 2 + 2 * (n + 1u) + 1;
        if (b.size() < bytes) return false;  // the list may come in several writes
        next_ = HostNext::command;
        std::vector<unsigned> pages;
        for (size_t i = 2; i + 1 < bytes - 1; i += 2) pages.push_back(b[i] * 256u + b[i + 1]);
        host_msg(e, bytes, "Extended Erase pages " + page_runs(pages) + " (" +
                               checksum_text(b[bytes - 1], xor_of(b, 0, bytes - 1)) + ")");
        return true;
    }

    bool device_step(const TraceEvent& e) {
        const ByteStream& b = dev_;
        if (b.empty()) return false;
        switch (expect_) {
        case After::nothing: break;
        case After::get_reply:
        case After::id_reply: {
            const size_t n = b[0] + 1u;
            if (b.size() < n + 1) return false;
            std::string text;
            if (expect_ == After::get_reply && n >= 1) {
                text = "Get: bootloader " + std::to_string(b[1] >> 4) + "." + std::to_string(b[1] & 15) + ", commands " +
                       hex_spaced(b.copy(2, n + 1), 0, n);
            } else {
                text = "Get ID: product " + hex_spaced(b.copy(1, n + 1), 0, n);
            }
            expect_ = After::nothing;
            dev_msg(e, n + 1, text);
            return true;
        }
        case After::version_block:
            if (b.size() < 3) return false;
            expect_ = After::nothing;
            dev_msg(e, 3, "Get Version: bootloader " + std::to_string(b[0] >> 4) + "." + std::to_string(b[0] & 15) +
                              ", option bytes " + hex_spaced(b.copy(1, 3), 0, 2));
            return true;
        case After::read_block: {
            if (b.size() < read_len_) return false;
            char text[64];
            snprintf(text, sizeof text, "Read Memory at 0x%08x, %zu bytes", address_, read_len_);
            expect_ = After::nothing;
            dev_msg(e, read_len_, text, b.copy(0, read_len_));
            return true;
        }
        }
        if (b[0] == kAck) {
            expect_ = after_ack_;
            after_ack_ = After::nothing;
            dev_msg(e, 1, "ACK 0x79");
            return true;
        }
        if (b[0] == kNack) {
            after_ack_ = After::nothing;
            next_ = HostNext::command;  // the command is refused: the host starts over
            dev_msg(e, 1, "NACK 0x1f");
            return true;
        }
        if (b[0] == kFrameMark && query_pending_) {
            if (b.size() < kVersionHeader) return false;
            const size_t len = b[kVersionLengthAt] * 256u + b[kVersionLengthAt + 1];
            if (b.size() < kVersionHeader + len) return false;
            const std::vector<uint8_t> body = b.copy(kVersionHeader, kVersionHeader + len);
            query_pending_ = false;
            dev_msg(e, kVersionHeader + len,
                    "version reply (code " + hex2(b[kVersionCodeAt]) + ", " + std::to_string(len) + " body bytes): \"" +
                        printable(body, 1) + "\"");
            return true;
        }
        dev_raw_.add(b[0]);
        dev_.drop(1);
        return true;
    }

    ByteStream host_, dev_;
    RawRun host_raw_, dev_raw_;
    HostNext next_ = HostNext::command;
    After after_ack_ = After::nothing, expect_ = After::nothing;
    uint8_t cmd_ = 0;
    uint32_t address_ = 0;
    size_t read_len_ = 0;
    bool query_pending_ = false;
};

}  // namespace

std::unique_ptr<DeviceDecoder> make_serial_decoder(std::vector<TraceMessage>* out) {
    return std::make_unique<SerialDecoder>(out);
}

}  // namespace boardsim
