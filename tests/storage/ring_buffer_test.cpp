// ring_buffer_test.cpp: the raw-event ring's slot reuse.
#include "storage/ring_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "common/table.h"

namespace tarvex {
namespace {

// A reused slot holds exactly the new text and address, with nothing of the
// longer ones before it left past their ends, whatever the order of lengths.
TEST(RingBuffer, ReusedSlotKeepsNothingOfTheOldText) {
    RingBuffer* ring = mapZeroed<RingBuffer>();
    ASSERT_NE(ring, nullptr);
    const std::string lengths_in_turn[] = {std::string(2048, 'a'), std::string(5, 'b'),
                                           std::string(3000, 'c'), "", std::string(700, 'd')};
    const std::string sources[] = {"192.168.100.200", "10.0.0.1", "::", "172.16.0.1", "1.1.1.1"};
    for (u32 round = 0; round < 5; ++round) {
        // Fill the whole ring so that slot 0 comes round again.
        for (u32 i = 0; i < kRingCapacity; ++i)
            ring->push(lengths_in_turn[(round + i) % 5], sources[(round + i) % 5], round);
        for (u32 i = 0; i < kRingCapacity; i += 977) {
            const RawEvent& e = ring->events[i];
            const std::string& want = lengths_in_turn[(round + i) % 5];
            const std::string& src = sources[(round + i) % 5];
            ASSERT_EQ(e.getData(), want.substr(0, kRawEventBytes)) << "slot " << i;
            ASSERT_EQ(e.getSourceIp(), src) << "slot " << i;
            for (size_t k = e.data_len; k < sizeof e.data; ++k)
                ASSERT_EQ(e.data[k], 0) << "slot " << i << " byte " << k << " round " << round;
            for (size_t k = e.source_ip_len; k < sizeof e.source_ip; ++k)
                ASSERT_EQ(e.source_ip[k], 0) << "slot " << i << " byte " << k;
        }
    }
    EXPECT_EQ(ring->total_written, 5ull * kRingCapacity);
    unmapTable(ring);
}

}  // namespace
}  // namespace tarvex
