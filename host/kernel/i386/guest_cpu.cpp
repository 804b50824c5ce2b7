// Unicorn behind the guest CPU: its engine, its hooks and its contexts.
#include "guest_cpu.h"

#include <exception>
#include <unicorn/unicorn.h>

namespace zhost::i386 {

namespace {

int UnicornRegister(Reg reg)
{
    switch (reg) {
    case Reg::Eax: return UC_X86_REG_EAX;
    case Reg::Ebx: return UC_X86_REG_EBX;
    case Reg::Ecx: return UC_X86_REG_ECX;
    case Reg::Edx: return UC_X86_REG_EDX;
    case Reg::Esi: return UC_X86_REG_ESI;
    case Reg::Edi: return UC_X86_REG_EDI;
    case Reg::Ebp: return UC_X86_REG_EBP;
    case Reg::Esp: return UC_X86_REG_ESP;
    case Reg::Eip: return UC_X86_REG_EIP;
    case Reg::Eflags: return UC_X86_REG_EFLAGS;
    }
    return UC_X86_REG_INVALID;
}

constexpr Reg kAllRegisters[] = {Reg::Eax, Reg::Ebx, Reg::Ecx, Reg::Edx, Reg::Esi,
                                 Reg::Edi, Reg::Ebp, Reg::Esp, Reg::Eip, Reg::Eflags};

uint32_t UnicornProtection(uint32_t protection)
{
    return (protection & kProtRead ? UC_PROT_READ : 0) | (protection & kProtWrite ? UC_PROT_WRITE : 0) |
           (protection & kProtExec ? UC_PROT_EXEC : 0);
}

} // namespace

struct GuestCpu::Engine {
    uc_engine* uc = nullptr;
    GuestCpu* cpu = nullptr;
    CpuEvents* events = nullptr;
    struct Block {
        BlockCallback callback;
        void* context;
    };
    std::vector<std::unique_ptr<Block>> blocks;

    ~Engine()
    {
        if (uc != nullptr) uc_close(uc);
    }

    // A C++ exception must not unwind through Unicorn's C frames (that
    // terminates the host): whatever escapes a handler stops the run.
    template <class Body> static auto guarded(void* data, const char* hook, Body body)
    {
        auto* engine = static_cast<Engine*>(data);
        try {
            return body(*engine->events);
        } catch (const std::exception& error) {
            engine->events->failed(hook, error.what());
        } catch (...) {
            engine->events->failed(hook, "");
        }
        uc_emu_stop(engine->uc);
        return decltype(body(*engine->events))();
    }

    static void code(uc_engine*, uint64_t address, uint32_t, void* data)
    {
        GuestCpu& cpu = *static_cast<Engine*>(data)->cpu;
        ++cpu.instructions_;
        cpu.lastInstruction_ = static_cast<uint32_t>(address);
    }

    static void interrupt(uc_engine*, uint32_t number, void* data)
    {
        guarded(data, "interrupt", [&](CpuEvents& events) { events.interrupt(number); });
    }

    static uint32_t in(uc_engine*, uint32_t port, int size, void* data)
    {
        return guarded(data, "in", [&](CpuEvents& events) { return events.in(port, size); });
    }

    static void out(uc_engine*, uint32_t port, int size, uint32_t value, void* data)
    {
        guarded(data, "out", [&](CpuEvents& events) { events.out(port, size, value); });
    }

    static void read(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* data)
    {
        guarded(data, "read", [&](CpuEvents& events) { events.watchedRead(static_cast<uint32_t>(address), size); });
    }

    static void write(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* data)
    {
        guarded(data, "write", [&](CpuEvents& events) { events.watchedWrite(static_cast<uint32_t>(address), size); });
    }

    static bool invalid(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* data)
    {
        return guarded(data, "invalid-access", [&](CpuEvents& events) {
            Fault fault = Fault::ReadUnmapped;
            switch (type) {
            case UC_MEM_WRITE_PROT: fault = Fault::WriteProtected; break;
            case UC_MEM_FETCH_PROT:
            case UC_MEM_FETCH_UNMAPPED: fault = Fault::FetchOutside; break;
            case UC_MEM_WRITE_UNMAPPED: fault = Fault::WriteUnmapped; break;
            default: break;
            }
            events.invalid(fault, static_cast<uint32_t>(address), size);
            return false;
        });
    }

    static void block(uc_engine*, uint64_t address, uint32_t size, void* data)
    {
        const auto* block = static_cast<const Block*>(data);
        block->callback(static_cast<uint32_t>(address), size, block->context);
    }
};

GuestCpu::GuestCpu() : engine_(std::make_unique<Engine>())
{
    engine_->cpu = this;
}

GuestCpu::~GuestCpu() = default;

bool GuestCpu::open(std::string* error)
{
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &engine_->uc) != UC_ERR_OK) {
        engine_->uc = nullptr;
        *error = "the i386 emulator does not start";
        return false;
    }
    return true;
}

bool GuestCpu::attach(CpuEvents& events, const CpuWatch& watch)
{
    engine_->events = &events;
    uc_engine* uc = engine_->uc;
    void* data = engine_.get();
    uc_hook hook;
    return uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&Engine::code), data, watch.codeFirst,
                       watch.codeLast) == UC_ERR_OK &&
           uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Engine::interrupt), data, 1, 0) == UC_ERR_OK &&
           uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Engine::in), data, 1, 0, UC_X86_INS_IN) ==
               UC_ERR_OK &&
           uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&Engine::out), data, 1, 0, UC_X86_INS_OUT) ==
               UC_ERR_OK &&
           uc_hook_add(uc, &hook, UC_HOOK_MEM_READ, reinterpret_cast<void*>(&Engine::read), data, watch.readFirst,
                       watch.readLast) == UC_ERR_OK &&
           uc_hook_add(uc, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&Engine::write), data, watch.writeFirst,
                       watch.writeLast) == UC_ERR_OK &&
           uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Engine::invalid), data, 1, 0) ==
               UC_ERR_OK;
}

bool GuestCpu::map(uint32_t address, uint32_t size, uint32_t protection)
{
    return uc_mem_map(engine_->uc, address, size, UnicornProtection(protection)) == UC_ERR_OK;
}

bool GuestCpu::mapHost(uint32_t address, uint32_t size, uint32_t protection, void* host)
{
    return uc_mem_map_ptr(engine_->uc, address, size, UnicornProtection(protection), host) == UC_ERR_OK;
}

void GuestCpu::unmap(uint32_t address, uint32_t size)
{
    uc_mem_unmap(engine_->uc, address, size);
}

bool GuestCpu::protect(uint32_t address, uint32_t size, uint32_t protection)
{
    return uc_mem_protect(engine_->uc, address, size, UnicornProtection(protection)) == UC_ERR_OK;
}

bool GuestCpu::read(uint32_t address, void* bytes, uint32_t length) const
{
    return uc_mem_read(engine_->uc, address, bytes, length) == UC_ERR_OK;
}

bool GuestCpu::write(uint32_t address, const void* bytes, uint32_t length)
{
    return uc_mem_write(engine_->uc, address, bytes, length) == UC_ERR_OK;
}

uint32_t GuestCpu::reg(Reg reg) const
{
    uint32_t value = 0;
    uc_reg_read(engine_->uc, UnicornRegister(reg), &value);
    return value;
}

void GuestCpu::setReg(Reg reg, uint32_t value)
{
    uc_reg_write(engine_->uc, UnicornRegister(reg), &value);
}

std::string GuestCpu::run(uint32_t begin, uint32_t until)
{
    const uc_err result = uc_emu_start(engine_->uc, begin, until, 0, 0);
    return result == UC_ERR_OK ? std::string() : uc_strerror(result);
}

void GuestCpu::stop()
{
    uc_emu_stop(engine_->uc);
}

bool GuestCpu::hookBlocks(uint32_t first, uint32_t last, BlockCallback callback, void* context)
{
    engine_->blocks.push_back(std::make_unique<Engine::Block>(Engine::Block{callback, context}));
    uc_hook hook;
    return uc_hook_add(engine_->uc, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(&Engine::block),
                       engine_->blocks.back().get(), first, last) == UC_ERR_OK;
}

GuestCpu::Context GuestCpu::save() const
{
    Context context;
    uc_context* saved = nullptr;
    if (uc_context_alloc(engine_->uc, &saved) != UC_ERR_OK) return context;
    context.opaque.reset(saved, [](void* p) { uc_context_free(static_cast<uc_context*>(p)); });
    if (uc_context_save(engine_->uc, saved) != UC_ERR_OK) {
        context.opaque.reset();
        return context;
    }
    for (Reg reg : kAllRegisters)
        context.registers.push_back(this->reg(reg));
    return context;
}

bool GuestCpu::restore(const Context& context)
{
    return context.opaque != nullptr &&
           uc_context_restore(engine_->uc, static_cast<uc_context*>(context.opaque.get())) == UC_ERR_OK;
}

} // namespace zhost::i386
