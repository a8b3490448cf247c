// The parallel backend on libieee1284 (ppdev where the system has it).
#include <ieee1284.h>

#include "ports/backends.h"

namespace {

class Ieee1284Lines : public ParallelBackend {
public:
    ~Ieee1284Lines() override { Close(); }

    bool Open(uint16_t baseAddress) override
    {
        Close();
        parport_list ports{};
        if (ieee1284_find_ports(&ports, 0) != E1284_OK)
            return false;
        for (int i = 0; i < ports.portc && !port_; ++i) {
            parport* candidate = ports.portv[i];
            if (candidate->base_addr != baseAddress)
                continue;
            int capabilities = 0;
            if (ieee1284_open(candidate, F1284_EXCL, &capabilities) != E1284_OK)
                continue;
            if (ieee1284_claim(candidate) != E1284_OK) {
                ieee1284_close(candidate);
                continue;
            }
            ieee1284_ref(candidate);  // keep it past the list
            port_ = candidate;
        }
        ieee1284_free_ports(&ports);
        return port_ != nullptr;
    }

    uint8_t ReadData() override
    {
        const int value = ieee1284_read_data(port_);
        return static_cast<uint8_t>(value < 0 ? 0 : value);
    }

    void WriteData(uint8_t value) override { ieee1284_write_data(port_, value); }

    bool IsOpen() const override { return port_ != nullptr; }

private:
    void Close()
    {
        if (!port_)
            return;
        ieee1284_release(port_);
        ieee1284_close(port_);
        ieee1284_unref(port_);
        port_ = nullptr;
    }

    parport* port_ = nullptr;
};

}  // namespace

std::unique_ptr<ParallelBackend> MakeIeee1284Backend() { return std::make_unique<Ieee1284Lines>(); }
