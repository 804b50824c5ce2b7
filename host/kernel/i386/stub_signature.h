// An import's stub is declared once, by its C signature: the arguments are
// read where the calling convention puts them and handed to the stub as
// named parameters, a result goes to EAX, and the bytes its `ret` pops are
// derived from the parameter list rather than kept beside it.
#pragma once

#include "emulated_image.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace zhost::i386 {

enum class Convention {
    Stdcall,  // arguments on the stack, popped by the callee
    Cdecl,    // arguments on the stack, popped by the caller
    Fastcall, // the first two 32-bit arguments in ECX and EDX, the rest as stdcall
};

// Where the variadic arguments of a cdecl call begin on the stack.
struct VarArgs {
    uint32_t address = 0;
};

namespace stub_detail {

template <class T> constexpr uint32_t kSlots = sizeof(T) > 4 ? 2 : 1;

template <class T> T FromSlots(uint32_t low, uint32_t high)
{
    if constexpr (std::is_same_v<T, GuestAddress>) {
        return GuestAddress{low};
    } else if constexpr (sizeof(T) > 4) {
        return static_cast<T>(uint64_t{low} | uint64_t{high} << 32);
    } else {
        return static_cast<T>(low);
    }
}

template <Convention C, class... Params> struct Layout {
    static constexpr size_t kCount = sizeof...(Params);
    static constexpr std::array<uint32_t, kCount> kSlotsOf{kSlots<Params>...};
    static constexpr std::array<bool, kCount> kIsVarArgs{std::is_same_v<Params, VarArgs>...};

    // Parameter i in a register (fastcall's first two 32-bit ones): 0 for
    // ECX, 1 for EDX; -1 on the stack.
    static constexpr int Register(size_t i)
    {
        if (C != Convention::Fastcall || i >= 2) return -1;
        for (size_t j = 0; j <= i; ++j) {
            if (kSlotsOf[j] != 1) return -1;
        }
        return static_cast<int>(i);
    }
    // The stack slot of parameter i, counted from the first above the
    // return address.
    static constexpr uint32_t Slot(size_t i)
    {
        uint32_t slot = 0;
        for (size_t j = 0; j < i; ++j) {
            if (Register(j) < 0) slot += kSlotsOf[j];
        }
        return slot;
    }
    static constexpr int PopBytes()
    {
        if (C == Convention::Cdecl) return -1;
        for (size_t i = 0; i < kCount; ++i) {
            if (kIsVarArgs[i]) return -1; // only a cdecl call can carry them
        }
        return static_cast<int>(Slot(kCount) * 4);
    }
};

template <class T> T Read(EmulatedImage& image, int reg, uint32_t slot)
{
    if constexpr (std::is_same_v<T, VarArgs>) {
        return VarArgs{image.reg(Reg::Esp) + 4 + 4 * slot};
    } else if (reg >= 0) {
        return FromSlots<T>(image.reg(reg == 0 ? Reg::Ecx : Reg::Edx), 0);
    } else {
        return FromSlots<T>(image.arg(static_cast<int>(slot)),
                            kSlots<T> > 1 ? image.arg(static_cast<int>(slot + 1)) : 0);
    }
}

template <Convention C, class Function> struct Stub;

template <Convention C, class R, class... Params> struct Stub<C, R (*)(EmulatedImage&, Params...)> {
    using Shape = Layout<C, Params...>;
    static_assert(C == Convention::Cdecl || Shape::PopBytes() >= 0, "variadic arguments need cdecl");

    template <R (*Function)(EmulatedImage&, Params...)> static void Run(EmulatedImage& image)
    {
        [&]<size_t... I>(std::index_sequence<I...>)
        {
            if constexpr (std::is_void_v<R>) {
                Function(image, Read<Params>(image, Shape::Register(I), Shape::Slot(I))...);
            } else {
                image.setReg(Reg::Eax, static_cast<uint32_t>(Function(
                                           image, Read<Params>(image, Shape::Register(I), Shape::Slot(I))...)));
            }
        }
        (std::index_sequence_for<Params...>{});
    }
};

} // namespace stub_detail

// The table entry of the stub `Function` for module!name.
template <Convention C, auto Function> constexpr ServiceStub Declare(const char* module, const char* name)
{
    using Stub = stub_detail::Stub<C, decltype(Function)>;
    return {module, name, Stub::Shape::PopBytes(), &Stub::template Run<Function>};
}

} // namespace zhost::i386
