// Small pieces the benchmark programs share.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

// A listening TCP socket on an ephemeral loopback port; port receives its number.
inline int ListenLoopback(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(fd, 4);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return fd;
}
