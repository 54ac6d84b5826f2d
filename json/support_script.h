#pragma once
// The script every new engine is loaded with: the member counter get__count
// and a JSON helper that gives every object toJSONString and parseJSON
// (and JSON.stringify / JSON.parse on engines that lack them). Line ends are
// CR LF.
#include <string>

namespace lumigrab {

const std::string& SupportScript();

}  // namespace lumigrab
