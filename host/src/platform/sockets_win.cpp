#include "platform/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace vhost {

bool ipv4Bytes(const std::string& text, unsigned char (&bytes)[4]) {
    return ::inet_pton(AF_INET, text.c_str(), bytes) == 1;
}

bool ipv6Bytes(const std::string& text, unsigned char (&bytes)[16]) {
    return ::inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

void claimPortAlone(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& failed) {
    // Windows lets a restarted program bind while old connections linger
    // anyway; SO_REUSEADDR there would let another program take the port
    // over. SO_EXCLUSIVEADDRUSE refuses that.
    using exclusive = boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    acceptor.set_option(exclusive(true), failed);
}

}  // namespace vhost
