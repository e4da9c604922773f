// orvane-page-reader: one open page of orvane-web without a browser, for the emulated board's
// cost run (scripts/orvane-emu cost), where no browser can run. It opens the state feed of one
// robot, as the page does, and reads every message as it comes; once a second of its own it
// prints how many messages and bytes it has read, so that the run can tell that the feed flowed.
//   orvane-page-reader ADDRESS:PORT TOKEN [ROBOT]
// Numeric addresses only: the robot's static build takes no name lookups.
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <cstdio>
#include <string>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ws = beast::websocket;

int main(int argc, char** argv)
{
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: orvane-page-reader ADDRESS:PORT TOKEN [ROBOT]\n");
    return 2;
  }
  std::string where = argv[1];
  size_t colon = where.rfind(':');
  if (colon == std::string::npos) {
    fprintf(stderr, "orvane-page-reader: %s: want ADDRESS:PORT\n", argv[1]);
    return 2;
  }
  std::string host = where.substr(0, colon);
  std::string robot = argc == 4 ? argv[3] : "0";
  try {
    asio::io_context io;
    ws::stream<asio::ip::tcp::socket> feed(io);
    feed.next_layer().connect(
        {asio::ip::make_address(host),
         static_cast<unsigned short>(std::stoi(where.substr(colon + 1)))});
    feed.handshake(where, "/ws/" + robot + "?token=" + argv[2]);
    beast::flat_buffer buf;
    unsigned long messages = 0, bytes = 0;
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
      bytes += feed.read(buf);
      buf.clear();
      messages++;
      if (auto now = std::chrono::steady_clock::now(); now >= next) {
        printf("messages %lu bytes %lu\n", messages, bytes);
        fflush(stdout);
        next = now + std::chrono::seconds(1);
      }
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "orvane-page-reader: %s\n", e.what());
    return 1;
  }
}
