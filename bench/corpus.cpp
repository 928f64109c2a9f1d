#include "bench/corpus.h"

#include <random>

namespace bench {
namespace {

class Builder {
 public:
  Builder() : rng_(20240601) {}

  std::string BrowserGet() {
    static const char* kPages[] = {"/", "/index.html", "/news/2024/06/kernel-networking-update.html",
                                   "/static/css/site.min.css?v=3.2.1", "/images/logo@2x.png",
                                   "/search?q=windows+filtering+platform&lang=en&page=2",
                                   "/api/v1/session/refresh", "/assets/js/vendor.bundle.4f9c2e.js"};
    std::string host = Host();
    std::string r = "GET " + std::string(Pick(kPages)) + " HTTP/1.1\r\n";
    r += "Host: " + host + "\r\n";
    r += "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/124.0.0.0 Safari/537.36\r\n";
    r += "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8\r\n";
    r += "Accept-Language: en-US,en;q=0.9,de;q=0.7\r\n";
    r += "Accept-Encoding: gzip, deflate\r\n";
    r += "Referer: http://" + host + "/\r\n";
    r += "Connection: keep-alive\r\n";
    r += "Upgrade-Insecure-Requests: 1\r\n";
    r += "Sec-Fetch-Dest: document\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Site: same-origin\r\n";
    r += "Cookie: sid=" + Token(32) + "; prefs=" + Token(Below(120) + 8) + "\r\n";
    if (Below(3) == 0) r += "If-None-Match: \"" + Token(24) + "\"\r\n";
    r += "Cache-Control: max-age=0\r\n\r\n";
    return r;
  }

  std::string SmallPost() {
    std::string body;
    if (Below(2) == 0) {
      body = "user=" + Token(8) + "&token=" + Token(Below(200) + 16) + "&remember=1";
    } else {
      body = "{\"event\":\"click\",\"id\":" + std::to_string(Below(100000)) + ",\"payload\":\"" + Token(Below(300)) + "\"}";
    }
    std::string r = "POST /api/v2/events HTTP/1.1\r\n";
    r += "Host: " + Host() + ":8080\r\n";
    r += "User-Agent: telemetry-client/3.4\r\n";
    r += "Accept: application/json\r\n";
    r += "Content-Type: " + std::string(body[0] == '{' ? "application/json" : "application/x-www-form-urlencoded") +
         "\r\n";
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    r += "Connection: keep-alive\r\n\r\n";
    return r + body;
  }

  std::string ApiGet() {
    return "GET /api/v1/items/" + std::to_string(Below(100000)) + "?fields=id,name HTTP/1.1\r\nHost: " + Host() +
           "\r\nAccept: application/json\r\nConnection: keep-alive\r\n\r\n";
  }

  unsigned Below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

 private:
  template <size_t N>
  const char* Pick(const char* (&items)[N]) {
    return items[Below(N)];
  }
  std::string Host() {
    static const char* kHosts[] = {"www.example.test", "cdn.example.test", "news.example.test", "api.example.test"};
    return Pick(kHosts);
  }
  std::string Token(size_t n) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string t;
    for (size_t k = 0; k < n; ++k) t += kChars[Below(sizeof(kChars) - 1)];
    return t;
  }

  std::mt19937 rng_;
};

Corpus Build() {
  Builder b;
  Corpus corpus;
  auto add = [&corpus](const std::string& stream, size_t requests) {
    corpus.streams.push_back(stream);
    corpus.bytes += stream.size();
    corpus.requests += requests;
  };
  for (int k = 0; k < 60; ++k) {  // browser connections with keep-alive requests
    size_t n = 1 + b.Below(3);
    std::string s;
    for (size_t r = 0; r < n; ++r) s += b.BrowserGet();
    add(s, n);
  }
  for (int k = 0; k < 25; ++k) {  // posts, some after a GET
    bool get = b.Below(2) == 0;
    add((get ? b.BrowserGet() : "") + b.SmallPost(), get ? 2 : 1);
  }
  for (int k = 0; k < 15; ++k) {  // pipelined API calls
    size_t n = 4 + b.Below(5);
    std::string s;
    for (size_t r = 0; r < n; ++r) s += b.Below(4) == 0 ? b.SmallPost() : b.ApiGet();
    add(s, n);
  }
  return corpus;
}

}  // namespace

const Corpus& RequestCorpus() {
  static const Corpus corpus = Build();
  return corpus;
}

}  // namespace bench
