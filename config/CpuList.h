#pragma once

#include <string>
#include <string_view>
#include <vector>

// A list of CPUs to pin polling relays to, as an operator writes it:
// "2,3" (a comma after the last is allowed). False, with the problem in
// words, for a list that is empty, holds something other than a CPU number
// or a number twice, or names a CPU this process cannot run on (one that
// does not exist, or is outside its affinity).
[[nodiscard]] bool ParseCpuList(std::string_view text, std::vector<int>& cpus, std::string& problem);
