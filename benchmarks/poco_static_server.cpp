// The POCO peer of zuserve's static-file benchmark: Poco::Net::HTTPServer
// serving files from a folder, with keep-alive and a thread pool large
// enough for every benchmark connection.
//
//   poco_static_server ROOT PORT
#include <Poco/File.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Path.h>
#include <Poco/ThreadPool.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string root;

class FileHandler : public Poco::Net::HTTPRequestHandler {
 public:
  void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
    std::string const path = Poco::Path(request.getURI()).getFileName();
    Poco::File file(root + "/" + (path.empty() ? std::string("index.html") : path));
    if (path.find("..") != std::string::npos || !file.exists() || !file.isFile()) {
      response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
      response.send() << "not found";
      return;
    }
    std::string const name = file.path();
    std::string type = "application/octet-stream";
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) type = "text/plain; charset=utf-8";
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0) type = "text/html; charset=utf-8";
    response.sendFile(name, type);
  }
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  Poco::Net::HTTPRequestHandler* createRequestHandler(Poco::Net::HTTPServerRequest const&) override {
    return new FileHandler;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: poco_static_server ROOT PORT\n");
    return 2;
  }
  root = argv[1];
  Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(std::atoi(argv[2]))));
  Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
  params->setKeepAlive(true);
  params->setMaxKeepAliveRequests(1000000);
  params->setMaxThreads(128);
  params->setMaxQueued(1024);
  Poco::ThreadPool pool(4, 128);
  Poco::Net::HTTPServer server(new Factory, pool, socket, params);
  server.start();
  std::printf("poco_static_server: serving %s on 127.0.0.1:%s\n", argv[1], argv[2]);
  std::fflush(stdout);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int received = 0;
  sigwait(&signals, &received);
  server.stopAll(true);
  return 0;
}
