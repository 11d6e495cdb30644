// codec.h - what a bridge asks of its protocol.
//
// The bridges (sections, sockets, threads, status, scenario steps) are the
// same for every protocol; a protocol is a codec and the settings of its
// own that a section may give. A sender hands its codec the tallies of a
// step and gets packets back; a listener hands it the bytes received and
// gets what each display message says on the lamp or tally it reads.
#ifndef VESK_HOST_BRIDGES_CODEC_H
#define VESK_HOST_BRIDGES_CODEC_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridges/malformed.h"

namespace vhost {
namespace tsl {

using Packets = std::vector<std::vector<std::uint8_t>>;

// A display's tally as a sender hands it over: level 0 off, 1 program,
// 2 preview, 3 both.
struct Tally {
    std::uint16_t index = 0;
    std::uint8_t level = 0;
    std::string label;
};

// One display message as a listener applies it: the level of the lamp or
// tally its section reads.
struct Heard {
    std::uint16_t index = 0;
    std::uint8_t level = 0;
    bool everyone = false;  // addressed to every display
};

// A setting read by a protocol: not one of its own, taken, or given a bad
// value (`expected` then says what it must be).
enum class Setting { Unknown, Taken, Bad };

// Finds the packets in a TCP stream given in pieces of any size.
class StreamReader {
public:
    using OnPacket = std::function<void(const std::uint8_t* data, std::size_t size)>;
    using OnFault = std::function<void(Malformed kind)>;
    virtual ~StreamReader() = default;
    virtual void feed(const std::uint8_t* data, std::size_t size, const OnPacket& onPacket,
                      const OnFault& onFault) = 0;
    // The stream ended: a packet cut off is reported.
    virtual void end(const OnFault& onFault) = 0;
    // Part of a packet was read, its end not yet.
    virtual bool inFrame() const = 0;
};

class SenderCodec {
public:
    virtual ~SenderCodec() = default;
    virtual const char* version() const = 0;
    // The settings of its own, and their names for the message on an unknown one.
    virtual Setting setting(const std::string& key, const std::string& value,
                            std::string& expected) = 0;
    virtual const char* settingNames() const = 0;
    // The highest display index it addresses.
    virtual std::uint16_t lastIndex() const = 0;
    // The tallies in order: as few packets as fit (`batch`), or one each.
    virtual void encode(const std::vector<Tally>& tallies, bool batch, Packets& packets) const = 0;
    // How a packet goes on a TCP stream, appended to `out`.
    virtual void frame(const std::vector<std::uint8_t>& packet,
                       std::vector<std::uint8_t>& out) const = 0;
    // What a packet it encoded says, for the timeline: "index 1 ...; index 2 ...".
    virtual std::string describe(const std::uint8_t* packet, std::size_t size) const = 0;
    // The fields of a display sent at `level`, by name, for expectations.
    virtual std::vector<std::pair<const char*, int>> fields(std::uint8_t level) const = 0;
    // The label as the display shows it, and whether that differs from the
    // label given other than by its length (characters replaced).
    virtual std::string shown(std::string_view label) const = 0;
    virtual bool replaces(std::string_view label) const = 0;
};

class ReceiverCodec {
public:
    virtual ~ReceiverCodec() = default;
    virtual const char* version() const = 0;
    virtual Setting setting(const std::string& key, const std::string& value,
                            std::string& expected) = 0;
    virtual const char* settingNames() const = 0;
    // The highest level a message may carry (word.0 to word.N).
    virtual std::uint8_t highestLevel() const = 0;
    // The level that closes a GPI input: 0 for any level but 0.
    virtual std::uint8_t closingLevel() const = 0;
    // Decodes one whole packet into `heard` (messages it ignores left out).
    // On a fault nothing of `heard` is to be used.
    virtual Malformed decode(const std::uint8_t* data, std::size_t size,
                             std::vector<Heard>& heard) const = 0;
    virtual std::unique_ptr<StreamReader> streamReader() const = 0;
    // The packet a scenario's "tsl NAME index=N ..." step stands for.
    virtual bool packetOf(const std::map<std::string, std::string>& fields,
                          std::vector<std::uint8_t>& packet, std::string& error) const = 0;
    virtual const char* stepFields() const = 0;
};

// The versions a section may name; the default is 5.0.
const char* const defaultVersion = "5.0";
std::unique_ptr<SenderCodec> makeSender(const std::string& version);
std::unique_ptr<ReceiverCodec> makeReceiver(const std::string& version);

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_CODEC_H
