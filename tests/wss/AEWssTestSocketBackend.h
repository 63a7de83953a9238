// The OS side of TTestSocket (AEWssTestSocketPosix.cpp / AEWssTestSocketWin32.cpp): a
// socket is its native handle as an integer, -1 for none.
#pragma once

#include <cstddef>
#include <cstdint>

// Listens on 127.0.0.1 on a port chosen by the system, returned in port; raises.
std::intptr_t TestSocketListen(std::uint16_t& port);
bool TestSocketCanConnect(std::uint16_t port);
// A connection within timeoutMs, with Nagle off, or -1.
std::intptr_t TestSocketAccept(std::intptr_t listener, int timeoutMs);
bool TestSocketReadable(std::intptr_t s, int timeoutMs);
// What send / recv return: the byte count, 0 or below for an end or a failure.
std::ptrdiff_t TestSocketSend(std::intptr_t s, const char* data, std::size_t size);
std::ptrdiff_t TestSocketRecv(std::intptr_t s, char* data, std::size_t size);
void TestSocketClose(std::intptr_t s);
