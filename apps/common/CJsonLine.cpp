// JSON lines for the programs' --json output.
#include "CJsonLine.h"

void PutJsonLine(std::ostream& out, nlohmann::json const& j) {
  out << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}
