#pragma once

// Allocations made through operator new by the whole test program so far;
// linking AllocationCounter.cpp replaces the global operator new to count them.
[[nodiscard]] long AllocationCount() noexcept;
