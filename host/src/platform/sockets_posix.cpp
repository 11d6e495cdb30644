#include "platform/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace vhost {

bool ipv4Bytes(const std::string& text, unsigned char (&bytes)[4]) {
    return ::inet_pton(AF_INET, text.c_str(), bytes) == 1;
}

bool ipv6Bytes(const std::string& text, unsigned char (&bytes)[16]) {
    return ::inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

void claimPortAlone(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& failed) {
    // SO_REUSEADDR: lingering connections do not hold the port; two
    // listeners on one port would take SO_REUSEPORT, which is never set.
    acceptor.set_option(boost::asio::socket_base::reuse_address(true), failed);
}

}  // namespace vhost
