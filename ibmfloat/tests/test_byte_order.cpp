// Byte order: ibm2ieee reads each word in the host's byte order and writes
// each result in it too.  Words are built from their integer values, never
// from a little-endian byte string, so that on a big-endian host (s390x) the
// first byte of each slot in memory is the sign and exponent byte.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels.hpp"
#include "reference/ibm2ieee_reference.hpp"

namespace {

struct ValueCase {
    std::uint32_t word;
    float value;
};

// Values worked out by hand.  The byte reversal of every word converts to
// a different value (the table check below makes sure), so reading a word
// in the wrong order cannot go unnoticed.
const ValueCase kValues[] = {
    {0x41123456, 0x1.23456p+0f},   // 0x123456 / 2^24 * 16
    {0xC1180000, -1.5f},           // 0x180000 / 2^24 * 16, negative
    {0x43271000, 625.0f},          // 0x271000 / 2^24 * 16^3
    {0x3F812345, 0x812345p-28f},   // 0x812345 / 2^24 / 16
    {0x4E0A1B2C, 0x0A1B2Cp+32f},   // 0x0A1B2C / 2^24 * 16^14, unnormalised
    {0xBD7FEDCB, -0x7FEDCBp-36f},  // 0x7FEDCB / 2^24 / 16^3
};

std::uint32_t reversed(std::uint32_t w)
{
    return (w >> 24) | ((w >> 8) & 0x0000FF00u) | ((w << 8) & 0x00FF0000u) | (w << 24);
}

// A SEG-Y file stores each word most significant byte first.
std::vector<unsigned char> big_endian_bytes(const std::vector<std::uint32_t> &words)
{
    std::vector<unsigned char> bytes;
    for (std::uint32_t w : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<unsigned char>(w >> shift));
    return bytes;
}

// What a host does with those bytes: assemble each word's integer value,
// whatever its own byte order, and store it in the float slot.
std::vector<float> host_order_slots(const std::vector<unsigned char> &bytes)
{
    std::vector<float> slots(bytes.size() / 4);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const unsigned char *b = &bytes[4 * i];
        const std::uint32_t w = std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 |
                                std::uint32_t{b[2]} << 8 | std::uint32_t{b[3]};
        std::memcpy(&slots[i], &w, sizeof w);
    }
    return slots;
}

const char *host_order()
{
    return std::endian::native == std::endian::big ? "big-endian host" : "little-endian host";
}

class ByteOrderTest : public ::testing::TestWithParam<NamedKernel> {
protected:
    void SetUp() override
    {
        if (!GetParam().available)
            GTEST_SKIP() << GetParam().name << " is not supported on this machine";
    }
    void convert(std::vector<float> &slots) const
    {
        GetParam().convert(slots.data(), static_cast<int>(slots.size()));
    }
};

std::string kernel_name(const ::testing::TestParamInfo<NamedKernel> &info)
{
    return info.param.name;
}

TEST(ByteOrderTable, EachWordIsTellableFromItsByteReversal)
{
    for (const ValueCase &c : kValues) {
        EXPECT_EQ(reference::bits_of(reference::ibm_to_ieee(c.word)),
                  std::bit_cast<std::uint32_t>(c.value))
            << std::hex << c.word;
        EXPECT_NE(reference::bits_of(reference::ibm_to_ieee(reversed(c.word))),
                  std::bit_cast<std::uint32_t>(c.value))
            << std::hex << c.word;
    }
}

// Slots filled from integer values, converted in one call; each result is
// read back as a float (host order) and compared with its value.
TEST_P(ByteOrderTest, ReadsAndWritesWordsInHostOrder)
{
    SCOPED_TRACE(host_order());
    std::vector<float> slots;
    for (const ValueCase &c : kValues) {
        slots.emplace_back();
        std::memcpy(&slots.back(), &c.word, sizeof c.word);
    }
    convert(slots);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(slots[i], kValues[i].value) << std::hex << kValues[i].word;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(slots[i]),
                  std::bit_cast<std::uint32_t>(kValues[i].value))
            << std::hex << kValues[i].word;
    }
}

// Big-endian file bytes: put into host order by the caller they give the
// file's values on every host.  Copied in raw they are the file's words only
// on a big-endian host; on a little-endian one the kernel sees each word's
// byte reversal, which is the caller's mistake, not the kernel's business.
TEST_P(ByteOrderTest, FileBytesAreTheCallersToSwap)
{
    SCOPED_TRACE(host_order());
    std::vector<std::uint32_t> words;
    for (const ValueCase &c : kValues)
        words.push_back(c.word);
    const std::vector<unsigned char> file = big_endian_bytes(words);

    std::vector<float> swapped = host_order_slots(file);
    convert(swapped);

    std::vector<float> raw(words.size());
    std::memcpy(raw.data(), file.data(), file.size());
    convert(raw);

    for (std::size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(swapped[i]),
                  std::bit_cast<std::uint32_t>(kValues[i].value))
            << std::hex << words[i];
        const std::uint32_t seen =
            std::endian::native == std::endian::big ? words[i] : reversed(words[i]);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(raw[i]),
                  reference::bits_of(reference::ibm_to_ieee(seen)))
            << std::hex << words[i];
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, ByteOrderTest, ::testing::ValuesIn(all_kernels()),
                         kernel_name);

}  // namespace
