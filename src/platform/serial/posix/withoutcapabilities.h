#pragma once
// Lowers capabilities in the calling thread's effective set for as long as it lives, and puts
// them back after. Linux keeps capabilities per thread, and the raw capset() changes only the
// caller's, so nothing else in the program is touched. Where the thread lacks them already, or
// the system refuses, nothing changes.

#include <initializer_list>

#include <linux/capability.h>

class WithoutCapabilities {
public:
    explicit WithoutCapabilities(std::initializer_list<int> capabilities);
    ~WithoutCapabilities();
    WithoutCapabilities(const WithoutCapabilities &) = delete;
    WithoutCapabilities &operator=(const WithoutCapabilities &) = delete;

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_kept[2]{};
    bool m_lowered = false;
};
