// The web remote's HTTP server: cpp-httplib's, with threads made as
// connections need them, each connection read by deadlines and limits of
// its own, and a longer queue of connections waiting to be accepted than
// the library's default of five.
#pragma once

#include <httplib.h>
#include <memory>
#include <string>

namespace pipd::web {

// Sent with every answer.
extern const httplib::Headers SECURITY_HEADERS;

// Threads the server makes at most.
inline constexpr int MAX_THREADS = 256;

class connection;
class waiting_peers;

class server final : public httplib::Server {
  public:
    server();
    ~server() override;
    // Binds to host and port (0: a free one); the port, or -1.
    int bind_listen(const std::string &host, int port);

  private:
    bool process_and_close_socket(socket_t sock) override;
    void serve(connection &c, const std::string &peer);

    std::unique_ptr<waiting_peers> waiting_;
};

} // namespace pipd::web
