// vlserver-sim demo: a database and a chain of redo logs written as the database server
// writes them, applied by the service's engine and checked page by page.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

int Demo(const std::string& dir, int logs, int pages, int pageSize, std::uint64_t seed);

}  // namespace sim
