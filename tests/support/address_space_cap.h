// Caps the process's address space a little above what it holds now, so that a test can
// make a large allocation fail for real; the old limit comes back with the scope:
//
//   { vltest::AddressSpaceCap cap(4 << 20); ...allocations beyond 4 MB more fail... }
//
// Only for builds without a sanitizer: their allocators map address space of their own
// and stop the program instead of failing the allocation.
#pragma once

#include <sys/resource.h>

#include <fstream>
#include <string>

namespace vltest {

class AddressSpaceCap {
public:
    explicit AddressSpaceCap(long headroomBytes)
    {
        std::ifstream status("/proc/self/status");
        long vmKb = 0;
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmSize:", 0) == 0)
                vmKb = std::stol(line.substr(7));
        if (vmKb <= 0 || getrlimit(RLIMIT_AS, &m_old) != 0)
            return;
        rlimit capped = m_old;
        capped.rlim_cur = rlim_t(vmKb) * 1024 + rlim_t(headroomBytes);
        m_capped = setrlimit(RLIMIT_AS, &capped) == 0;
    }
    ~AddressSpaceCap()
    {
        if (m_capped)
            setrlimit(RLIMIT_AS, &m_old);
    }
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;

    bool capped() const { return m_capped; }

private:
    rlimit m_old{};
    bool m_capped = false;
};

}  // namespace vltest
