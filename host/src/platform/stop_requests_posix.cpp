#include "platform/stop_requests.h"

#include <csignal>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

namespace vhost {

class StopRequests::Impl {
public:
    Impl(boost::asio::io_context& io, std::function<void()> stop)
        : signals_(io, SIGINT, SIGTERM), stop_(std::move(stop)) {
        signals_.async_wait([this](boost::system::error_code error, int) {
            if (!error) stop_();
        });
    }

private:
    boost::asio::signal_set signals_;
    std::function<void()> stop_;
};

StopRequests::StopRequests(boost::asio::io_context& io, std::function<void()> stop)
    : impl_(std::make_unique<Impl>(io, std::move(stop))) {}

StopRequests::~StopRequests() = default;

}  // namespace vhost
