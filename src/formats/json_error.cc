#include "formats/json_error.h"

namespace sorvid {

std::string JsonError::message() const {
  return text + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace sorvid
