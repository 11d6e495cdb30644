// sockets.h - the socket details where Windows and POSIX differ, behind one
// face (one implementation file per platform).
#ifndef VESK_HOST_PLATFORM_SOCKETS_H
#define VESK_HOST_PLATFORM_SOCKETS_H

#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace vhost {

// A numeric address in its bytes, network order; false when `text` is not one.
bool ipv4Bytes(const std::string& text, unsigned char (&bytes)[4]);
bool ipv6Bytes(const std::string& text, unsigned char (&bytes)[16]);

// Before bind: a restarted host may take its port again while connections
// of the last run linger, and no second program may listen on it as well.
void claimPortAlone(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& failed);

}  // namespace vhost

#endif  // VESK_HOST_PLATFORM_SOCKETS_H
