#include "baseline.h"

#include <cstdint>
#include <cstring>

namespace {

// Signed decimal digits of `number` into `out` (room for 11); returns the count.
std::size_t writeDecimal(int number, char* out) {
    std::uint32_t magnitude = number < 0 ? 0u - static_cast<std::uint32_t>(number)
                                         : static_cast<std::uint32_t>(number);
    char reversed[10];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0);
    std::size_t length = 0;
    if (number < 0) out[length++] = '-';
    while (count > 0) out[length++] = reversed[--count];
    return length;
}

template <std::size_t N>
char* putLiteral(char* at, const char (&literal)[N]) {
    std::memcpy(at, literal, N - 1);
    return at + N - 1;
}

char* putText(char* at, const char* text, std::size_t length) {
    std::memcpy(at, text, length);
    return at + length;
}

}  // namespace

void baselineDriverUpdate(vesk_client_callback* host, const driverUpdateRecord* update,
                          const TallyRoute& route) {
    if (update->device != route.srcDevice || update->index != route.srcIndex) return;
    const bool on = update->state == route.onState;
    const char* value = on ? route.onValue : "0";
    const std::size_t valueLength = on ? route.onValueLength : 1;
    const int slot = static_cast<int>(static_cast<std::uint32_t>(route.slotOffset) +
                                      static_cast<std::uint32_t>(route.destSlot));

    // Two 11-character numbers, the literals and a value of up to 3 characters fit.
    char write[48];
    char* at = putLiteral(write, "IW ");
    at += writeDecimal(route.destDevice, at);
    at = putLiteral(at, " '");
    at = putText(at, value, valueLength);
    at = putLiteral(at, "' ");
    at += writeDecimal(slot, at);
    at = putLiteral(at, " 0");
    *at = '\0';
    host->notify(write, VESK_NOTIFY_COMMAND);

    char show[40];
    at = putLiteral(show, "TP 'text=");
    at = putText(at, value, valueLength);
    at = putLiteral(at, "' '1' 'Tally'");
    *at = '\0';
    host->notify(show, VESK_NOTIFY_COMMAND);
}
