#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Broadcast fields sit at fixed offsets in a byte buffer, little- or
// big-endian, often unaligned. They are read and written by memcpy, never
// through a cast pointer, so any offset works on any host.

template <typename T>
concept WireValue = std::is_arithmetic_v<T> &&(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);

// The unsigned integer of the same size: carries a value's bits unchanged.
template <size_t Size>
using WireBits =
    std::conditional_t<Size == 1, uint8_t,
                       std::conditional_t<Size == 2, uint16_t, std::conditional_t<Size == 4, uint32_t, uint64_t>>>;

template <typename U>
[[nodiscard]] constexpr U ReverseBytes(U bits) noexcept
{
    if constexpr (sizeof(U) == 1)
        return bits;
    else if constexpr (sizeof(U) == 2)
        return __builtin_bswap16(bits);
    else if constexpr (sizeof(U) == 4)
        return __builtin_bswap32(bits);
    else
        return __builtin_bswap64(bits);
}

// Reads a T stored in `order` at p.
template <WireValue T, std::endian Order>
[[nodiscard]] inline T LoadWire(const uint8_t* p) noexcept
{
    WireBits<sizeof(T)> bits;
    std::memcpy(&bits, p, sizeof bits);
    if constexpr (Order != std::endian::native)
        bits = ReverseBytes(bits);
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Writes value at p in `order`.
template <WireValue T, std::endian Order>
inline void StoreWire(uint8_t* p, T value) noexcept
{
    WireBits<sizeof(T)> bits;
    std::memcpy(&bits, &value, sizeof bits);
    if constexpr (Order != std::endian::native)
        bits = ReverseBytes(bits);
    std::memcpy(p, &bits, sizeof bits);
}

// One field of a layout: its type, offset and byte order.
template <WireValue T, size_t Offset, std::endian Order>
struct WireField {
    using Type = T;
    static constexpr size_t kOffset = Offset;
    static constexpr size_t kEnd = Offset + sizeof(T);
    static constexpr std::endian kOrder = Order;

    [[nodiscard]] static T Get(const uint8_t* base) noexcept { return LoadWire<T, Order>(base + Offset); }
    static void Set(uint8_t* base, T value) noexcept { StoreWire<T, Order>(base + Offset, value); }
};

template <WireValue T, size_t Offset>
using LeField = WireField<T, Offset, std::endian::little>;
template <WireValue T, size_t Offset>
using BeField = WireField<T, Offset, std::endian::big>;

// Copies a field's bits from one layout to another of the same size,
// changing only the byte order: doubles keep their exact bit pattern.
template <typename From, typename To>
inline void CopyWireField(const uint8_t* from, uint8_t* to) noexcept
{
    static_assert(sizeof(typename From::Type) == sizeof(typename To::Type));
    using Bits = WireBits<sizeof(typename From::Type)>;
    StoreWire<Bits, To::kOrder>(to + To::kOffset, LoadWire<Bits, From::kOrder>(from + From::kOffset));
}
