#include "bridge/observation.h"

#include <charconv>
#include <system_error>

namespace qor {

const ElementReference* Observation::reference(std::string_view ref) const {
  // "e" and the number, as the walk writes it: no sign, no leading zero.
  if (ref.size() < 2 || ref.front() != 'e' || ref[1] == '0') {
    return nullptr;
  }
  std::size_t number = 0;
  const char* const end = ref.data() + ref.size();
  const auto [last, error] = std::from_chars(ref.data() + 1, end, number);
  if (error != std::errc() || last != end || number > elements.size()) {
    return nullptr;
  }
  return &elements[number - 1];
}

}  // namespace qor
