// The MCU model's ROM bootloader: the USART protocol of ST's AN3155 (sync 0x7F, each command
// and its complement, addresses and blocks with their XOR checksums, ACK 0x79 / NACK 0x1F).
#include <algorithm>
#include <map>

#include "mcu_model.h"

namespace board {

namespace {

constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kGet = 0x00;
constexpr uint8_t kGetVersion = 0x01;
constexpr uint8_t kGetId = 0x02;
constexpr uint8_t kReadMemory = 0x11;
constexpr uint8_t kGo = 0x21;
constexpr uint8_t kWriteMemory = 0x31;
constexpr uint8_t kErase = 0x43;
constexpr uint8_t kExtendedErase = 0x44;
// Erase: N = 0xFF (then its complement 0x00) erases all. Extended Erase: N from 0xFFF0 up is a
// special erase, three of them defined.
constexpr uint8_t kGlobalErase = 0xFF;
constexpr uint16_t kSpecialErase = 0xFFF0;
constexpr uint16_t kMassErase = 0xFFFF;
constexpr uint16_t kBank1Erase = 0xFFFE;
constexpr uint16_t kBank2Erase = 0xFFFD;
constexpr uint32_t kPagesPerBank = McuModel::kPages / 2;  // two banks of 256 KiB
// Write Memory blocks are whole words; the option bytes and the read protection are not modelled
// (Get Version reports the protection off).
constexpr size_t kWriteUnit = 4;
constexpr uint8_t kOptionBytes[2] = {0x00, 0x00};
// Flash timing when paced: typical page erase and half-word programming times.
constexpr std::chrono::microseconds kPageEraseTime{20000};
constexpr std::chrono::microseconds kHalfWordProgramTime{53};

uint8_t xor_of(const std::vector<uint8_t>& v, size_t from, size_t to) {
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i) x = static_cast<uint8_t>(x ^ v[i]);
    return x;
}

bool in_flash(uint32_t address, size_t len) {
    return address >= McuModel::kFlashBase && address - McuModel::kFlashBase <= McuModel::kFlashSize - len;
}

std::vector<uint16_t> page_range(uint32_t first, uint32_t count) {
    std::vector<uint16_t> pages;
    for (uint32_t p = first; p < first + count; ++p) pages.push_back(static_cast<uint16_t>(p));
    return pages;
}

}  // namespace

namespace {

// Takes one from the stage's own count, else from the count for any stage; false when both
// are spent.
bool take_one(std::map<McuModel::Stage, int>* left, McuModel::Stage stage) {
    for (McuModel::Stage s : {stage, McuModel::Stage::any}) {
        auto it = left->find(s);
        if (it != left->end() && it->second > 0) {
            --it->second;
            return true;
        }
    }
    return false;
}

}  // namespace

uint8_t McuModel::answer(Stage stage, bool ok) {
    if (ok && take_one(&nack_left_, stage)) {
        ++faults_.nacks[stage];
        ok = false;
    }
    // After a refusal the bootloader waits for the next command.
    if (!ok && stage != Stage::sync) boot_ = Boot::command;
    drop_this_ = take_one(&drop_left_, stage);
    if (drop_this_) ++faults_.drops[stage];
    return ok ? kAck : kNack;
}

// How many bytes the stage under way takes, as far as the bytes so far tell.
size_t McuModel::boot_frame_size() const {
    switch (boot_) {
    case Boot::wait_sync:
        return 1;
    case Boot::command:
    case Boot::read_count:
        return 2;
    case Boot::address:
        return 5;
    case Boot::write_block:  // N, N + 1 bytes, checksum
        return frame_.empty() ? 1 : static_cast<size_t>(frame_[0]) + 3;
    case Boot::erase_list:  // N, N + 1 page numbers, checksum; or 0xFF 0x00
        return frame_.empty() ? 1 : frame_[0] == kGlobalErase ? 2 : static_cast<size_t>(frame_[0]) + 3;
    case Boot::ext_erase_list: {  // N (two bytes), N + 1 page numbers of two bytes, checksum
        if (frame_.size() < 2) return 2;
        const size_t n = static_cast<size_t>(frame_[0]) << 8 | frame_[1];
        return n >= kSpecialErase ? 3 : 2 + 2 * (n + 1) + 1;
    }
    }
    return 1;
}

void McuModel::boot_byte(uint8_t b, std::vector<uint8_t>* out) {
    const bool silent = boot_silent_ || silent_this_entry_;
    if (silent && boot_ == Boot::wait_sync) return;  // never measures the baud rate: no answer at all
    frame_.push_back(b);
    if (frame_.size() < boot_frame_size()) return;
    std::vector<uint8_t> resp;
    drop_this_ = false;
    switch (boot_) {
    case Boot::wait_sync:
        // Anything before the sync byte is noise to the baud-rate detection.
        if (b == kSync) {
            resp.push_back(answer(Stage::sync, true));
            if (resp[0] == kAck) boot_ = Boot::command;
        }
        break;
    case Boot::command:
        boot_command(&resp);
        break;
    case Boot::address:
        boot_address(&resp);
        break;
    case Boot::read_count:
        boot_read_count(&resp);
        break;
    case Boot::write_block:
        boot_write_block(&resp);
        break;
    case Boot::erase_list:
        boot_erase_list(&resp);
        break;
    case Boot::ext_erase_list:
        boot_ext_erase_list(&resp);
        break;
    }
    frame_.clear();
    if (!silent && !drop_this_ && mode_ != Mode::unpowered) out->insert(out->end(), resp.begin(), resp.end());
}

// A command byte and its complement. Get, Get Version and Get ID answer at once; the others
// go on to their next stage.
void McuModel::boot_command(std::vector<uint8_t>* resp) {
    const uint8_t code = frame_[0];
    const uint8_t erase_code = legacy_ ? kErase : kExtendedErase;
    const std::vector<uint8_t> supported = {kGet, kGetVersion, kGetId, kReadMemory, kGo, kWriteMemory, erase_code};
    const bool known = std::find(supported.begin(), supported.end(), code) != supported.end();
    const uint8_t a = answer(Stage::command, known && static_cast<uint8_t>(code ^ frame_[1]) == 0xFF);
    resp->push_back(a);
    if (a != kAck) return;
    code_ = code;
    const uint8_t version = legacy_ ? kLegacyBootloaderVersion : kBootloaderVersion;
    const uint16_t pid = legacy_ ? kLegacyProductId : kProductId;
    switch (code) {
    case kGet:  // N (the number of command codes), the version, the codes
        ++counts_.get;
        resp->push_back(static_cast<uint8_t>(supported.size()));
        resp->push_back(version);
        resp->insert(resp->end(), supported.begin(), supported.end());
        resp->push_back(kAck);
        break;
    case kGetVersion:
        ++counts_.get_version;
        resp->push_back(version);
        resp->insert(resp->end(), kOptionBytes, kOptionBytes + 2);
        resp->push_back(kAck);
        break;
    case kGetId:  // N = 1: two bytes of product ID follow
        ++counts_.get_id;
        resp->insert(resp->end(), {0x01, static_cast<uint8_t>(pid >> 8), static_cast<uint8_t>(pid)});
        resp->push_back(kAck);
        break;
    case kReadMemory:
    case kGo:
    case kWriteMemory:
        boot_ = Boot::address;
        break;
    default:
        boot_ = code == kErase ? Boot::erase_list : Boot::ext_erase_list;
        break;
    }
}

// A start address, most significant byte first, and its XOR. It must lie in flash: the model
// has no RAM to read, write or run.
void McuModel::boot_address(std::vector<uint8_t>* resp) {
    const uint32_t addr = static_cast<uint32_t>(frame_[0]) << 24 | static_cast<uint32_t>(frame_[1]) << 16 |
                          static_cast<uint32_t>(frame_[2]) << 8 | frame_[3];
    const bool ok = xor_of(frame_, 0, 4) == frame_[4] && in_flash(addr, 1);
    const Stage stage = code_ == kReadMemory ? Stage::read_address : code_ == kGo ? Stage::go_address : Stage::write_address;
    const uint8_t a = answer(stage, ok);
    resp->push_back(a);
    if (a != kAck) return;
    address_ = addr;
    if (code_ == kGo) {
        ++counts_.go;
        // The application runs from the vector table at the flash base; code elsewhere is
        // nothing the model knows, and it never answers.
        start(Mode::application);
        if (addr != kFlashBase) silent_this_start_ = true;
        return;
    }
    boot_ = code_ == kReadMemory ? Boot::read_count : Boot::write_block;
}

// Read Memory: N (bytes to read - 1) and its complement; the N + 1 bytes follow the ACK.
void McuModel::boot_read_count(std::vector<uint8_t>* resp) {
    const size_t n = static_cast<size_t>(frame_[0]) + 1;
    const bool ok = static_cast<uint8_t>(frame_[0] ^ frame_[1]) == 0xFF && in_flash(address_, n);
    const uint8_t a = answer(Stage::read_count, ok);
    resp->push_back(a);
    if (a != kAck) return;
    const auto from = flash_.begin() + static_cast<long>(address_ - kFlashBase);
    resp->insert(resp->end(), from, from + static_cast<long>(n));
    ++counts_.read_memory;
    counts_.read_bytes += n;
    boot_ = Boot::command;
}

// Write Memory: N, N + 1 bytes (whole words, into erased flash), the XOR of N and the bytes.
void McuModel::boot_write_block(std::vector<uint8_t>* resp) {
    const size_t n = static_cast<size_t>(frame_[0]) + 1;
    bool ok = xor_of(frame_, 0, 1 + n) == frame_[1 + n] && n % kWriteUnit == 0 && in_flash(address_, n);
    const uint32_t off = address_ - kFlashBase;
    if (ok) {
        for (size_t i = 0; i < n; ++i)
            if (flash_[off + i] != 0xFF) ok = false;  // programming needs erased cells
    }
    const uint8_t a = answer(Stage::write_data, ok);
    if (a == kAck) {
        std::vector<uint8_t> data(frame_.begin() + 1, frame_.begin() + 1 + static_cast<long>(n));
        if (!program(off, data)) return;  // the supply went: no answer
        commands_.push_back(Command{kWriteMemory, address_, data, {}});
        ++counts_.write_memory;
        boot_ = Boot::command;
    }
    resp->push_back(a);
}

// Programs data at offset byte by byte, until a power cut that is due stops it. Returns false
// when the supply was cut.
bool McuModel::program(uint32_t offset, const std::vector<uint8_t>& data) {
    for (size_t i = 0; i < data.size(); ++i) {
        const uint32_t page = (offset + static_cast<uint32_t>(i)) / kPageSize;
        if (cut_after_pages_ >= 0 && !cut_pages_seen_[page]) {
            if (cut_after_pages_ == 0) {
                ++faults_.power_cuts_pages;
                cut_power();
                return false;
            }
            cut_pages_seen_[page] = true;
            --cut_after_pages_;
        }
        if (cut_after_bytes_ == 0) {
            ++faults_.power_cuts_bytes;
            cut_power();
            return false;
        }
        if (cut_after_bytes_ > 0) --cut_after_bytes_;
        flash_[offset + i] = data[i];
        wrote_this_session_ = true;
        changed_flash_this_session_ = true;
        if (i % 2 == 1) flash_busy_ += kHalfWordProgramTime;
    }
    return true;
}

void McuModel::erase(uint8_t code, const std::vector<uint16_t>& pages) {
    for (uint16_t p : pages)
        std::fill(flash_.begin() + static_cast<long>(p * kPageSize), flash_.begin() + static_cast<long>((p + 1) * kPageSize), 0xFF);
    flash_busy_ += kPageEraseTime * static_cast<long>(pages.size());
    changed_flash_this_session_ = true;
    commands_.push_back(Command{code, 0, {}, pages});
    ++counts_.erase;
    boot_ = Boot::command;
}

// Erase: N and N + 1 one-byte page numbers with the XOR of all, or 0xFF 0x00 for all pages.
void McuModel::boot_erase_list(std::vector<uint8_t>* resp) {
    std::vector<uint16_t> pages;
    bool ok;
    if (frame_[0] == kGlobalErase) {
        ok = frame_[1] == static_cast<uint8_t>(~kGlobalErase);
        pages = page_range(0, kPages);
    } else {
        const size_t last = frame_.size() - 1;
        ok = xor_of(frame_, 0, last) == frame_[last];
        for (size_t i = 1; i < last; ++i) pages.push_back(frame_[i]);
    }
    const uint8_t a = answer(Stage::erase_pages, ok);
    if (a == kAck) erase(kErase, pages);
    resp->push_back(a);
}

// Extended Erase: N (two bytes) and N + 1 two-byte page numbers with the XOR of all; or a
// special N (mass erase, bank 1, bank 2) and its checksum.
void McuModel::boot_ext_erase_list(std::vector<uint8_t>* resp) {
    const uint16_t n = static_cast<uint16_t>(frame_[0] << 8 | frame_[1]);
    const size_t last = frame_.size() - 1;
    bool ok = xor_of(frame_, 0, last) == frame_[last];
    std::vector<uint16_t> pages;
    if (n == kMassErase) {
        pages = page_range(0, kPages);
    } else if (n == kBank1Erase) {
        pages = page_range(0, kPagesPerBank);
    } else if (n == kBank2Erase) {
        pages = page_range(kPagesPerBank, kPagesPerBank);
    } else if (n >= kSpecialErase) {
        ok = false;  // reserved codes
    } else {
        for (size_t i = 2; i < last; i += 2) {
            const uint16_t p = static_cast<uint16_t>(frame_[i] << 8 | frame_[i + 1]);
            if (p >= kPages) ok = false;
            pages.push_back(p);
        }
    }
    const uint8_t a = answer(Stage::erase_pages, ok);
    if (a == kAck) erase(kExtendedErase, pages);
    resp->push_back(a);
}

}  // namespace board
