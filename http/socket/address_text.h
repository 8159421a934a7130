// Dotted IPv4 addresses and the trimming that property setters apply.
#pragma once

#include <cstdint>
#include <string>

namespace qm::http {

// Four decimal parts of at most 255 separated by three dots, blanks allowed
// around the whole; the address in network byte order.
bool ParseDottedAddress(const std::string& text, uint32_t* address);
// "a.b.c.d" of an address in network byte order.
std::string DottedAddress(uint32_t address);
uint16_t HostToNetwork16(uint16_t value);
uint16_t NetworkToHost16(uint16_t value);

}  // namespace qm::http
