// The catalogue's texts filled in as the players' guide shows them.
#pragma once

#include <string>
#include <vector>

namespace linkdata::msg {

std::vector<std::wstring> examples();

}  // namespace linkdata::msg
