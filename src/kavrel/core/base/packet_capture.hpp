// The capture loop of the per-packet modules: the source named at the call,
// opened at the first step with fixed settings, read into a PacketRecord
// until a frame decodes.
#pragma once

#include "packet_record.hpp"
#include "pcap/source.hpp"
#include "py/args.hpp"
#include "py/capture.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace kavrel {

static_assert(kErrbufSize == PCAP_ERRBUF_SIZE);

// Snapshot length 65535, promiscuous, 1000 ms read time-out.
inline constexpr pcap::LiveOptions kLiveSettings{65535, true, 1000, 0, false};

// A module's texts for the four ways a capture fails.
struct CaptureMessages {
    const char* open_device;
    const char* open_file;
    const char* read_device;
    const char* read_file;
};

class PacketCapture {
public:
    PacketCapture(PyObject* source, bool live) : source_(Ref::borrow(source)), live_(live) {}
    PacketCapture(const PacketCapture&) = delete;
    PacketCapture& operator=(const PacketCapture&) = delete;
    ~PacketCapture() { close(); }

    bool is_open() const noexcept { return handle_ != nullptr; }

    // Opens the source if this is the first step, then decodes frames into
    // `rec` until one is IPv4 or IPv6. False when there is none: an exception
    // is set, or the file ended (a file cut short also warns; the frames
    // already read stand).
    bool next(PacketRecord& rec, const CaptureMessages& text) {
        if (!handle_ && !open(text)) return false;
        const InterpreterHooks hooks;
        const auto status = pcap::next_accepted(
            handle_,
            [&rec](const pcap_pkthdr& header, const u_char* bytes) {
                parse_packet(&header, bytes, &rec);
                return rec.success != 0;
            },
            hooks);
        switch (status) {
        case pcap::ReadStatus::frame:
            return true;
        case pcap::ReadStatus::failed:
            if (live_) {
                raise_pcap_error(text.read_device, pcap_geterr(handle_), {PCAP_ERROR, 0});
            } else {
                warn_pcap_error(text.read_file, pcap_geterr(handle_));
            }
            return false;
        case pcap::ReadStatus::end:
        case pcap::ReadStatus::damaged:  // libpcap says failed for what it cannot read
        case pcap::ReadStatus::interrupted:
            return false;
        }
        return false;
    }

    void close() noexcept {
        if (handle_) pcap_close(handle_);
        handle_ = nullptr;
    }

private:
    bool open(const CaptureMessages& text) {
        const char* name = c_name(source_.get());
        if (!name) return false;
        char errbuf[PCAP_ERRBUF_SIZE];
        FailureCause cause;
        handle_ = live_ ? pcap::open_live(name, kLiveSettings, errbuf, &cause.pcap_status)
                        : pcap::open_offline(name, errbuf, &cause.os_errno);
        if (handle_) return true;
        if (!live_) cause.pcap_status = PCAP_ERROR;
        raise_pcap_error(live_ ? text.open_device : text.open_file, errbuf, cause);
        return false;
    }

    Ref source_;  // bytes or None, as given at the call
    bool live_;
    pcap_t* handle_ = nullptr;
};

}  // namespace kavrel
