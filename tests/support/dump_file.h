// A mini-dump file read back: its header, stream directory and little-endian fields at offsets.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace krelltest {

class CDumpFile {
public:
    explicit CDumpFile(const std::string& sPath) {
        std::ifstream in(sPath, std::ios::binary);
        m_Bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (m_Bytes.size() >= 32 && Get<std::uint32_t>(0) == 0x504D444D) {
            for (std::uint32_t i = 0; i < Get<std::uint32_t>(8); ++i) {
                const std::uint32_t dwEntry = Get<std::uint32_t>(12) + i * 12;
                m_Streams[Get<std::uint32_t>(dwEntry)] = Get<std::uint32_t>(dwEntry + 8);
            }
        }
    }
    template <typename T>
    T Get(std::size_t nOffset) const {
        T value{};
        if (nOffset + sizeof(T) <= m_Bytes.size()) {
            std::memcpy(&value, m_Bytes.data() + nOffset, sizeof(T));
        }
        return value;
    }
    std::uint32_t Stream(std::uint32_t dwType) const {
        const auto it = m_Streams.find(dwType);
        return it == m_Streams.end() ? 0 : it->second;
    }
    std::size_t Size() const { return m_Bytes.size(); }
    const char* At(std::size_t nOffset) const { return m_Bytes.data() + nOffset; }

private:
    std::vector<char> m_Bytes;
    std::map<std::uint32_t, std::uint32_t> m_Streams;
};

}  // namespace krelltest
