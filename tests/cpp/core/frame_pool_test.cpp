#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "core/FrameBuffer.h"

using namespace Zentrox;

// Allocation failure injection for this suite: the N-th allocation from now on throws.
namespace {
std::atomic<long> allocationsUntilFailure{-1};
std::atomic<long> liveAllocations{0};
}  // namespace

namespace Zentrox {
void failAllocationAfter(long n) {
    allocationsUntilFailure.store(n);
}
}  // namespace Zentrox

void* operator new(size_t size) {
    long left = allocationsUntilFailure.load();
    if (left == 0) throw std::bad_alloc();
    if (left > 0) allocationsUntilFailure.store(left - 1);
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    liveAllocations.fetch_add(1);
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
    if (!p) return;
    liveAllocations.fetch_sub(1);
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

namespace {

CameraInfo infoOf(uint32_t width, uint32_t height) {
    CameraInfo info{};
    info.width = width;
    info.height = height;
    return info;
}

TEST(FrameBuffers, DepthPlanesAndFormats) {
    DepthData d(240, 180);
    FrameDataFormat f{};
    ASSERT_EQ(d.getFormat(FrameType::AMPLITUDE, f), 0);
    EXPECT_EQ(f.type, FrameType::CONFIDENCE);
    ASSERT_EQ(d.getFormat(FrameType::DEPTH, f), 0);
    EXPECT_EQ(f.type, FrameType::DEPTH);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 180u);
    void* planes[] = {d.getData(FrameType::CONFIDENCE), d.getData(FrameType::AMPLITUDE),
                      d.getData(FrameType::DEPTH)};
    EXPECT_NE(planes[0], planes[1]);
    EXPECT_NE(planes[1], planes[2]);
    EXPECT_EQ(d.getData(FrameType::RAW), nullptr);
    EXPECT_EQ(d.getData(FrameType::CACHE), nullptr);
    FrameDataFormat untouched{7, 7, FrameType::CACHE, 7};
    EXPECT_EQ(d.getFormat(FrameType::RAW, untouched), -1);
    EXPECT_EQ(untouched.width, 7u);

    d.setTimestamp(123456789012ull);
    d.getFormat(FrameType::DEPTH, f);
    EXPECT_EQ(f.timestamp, 123456789012ull);
    d.getFormat(FrameType::CONFIDENCE, f);
    EXPECT_EQ(f.timestamp, 123456789012ull);
}

TEST(FrameBuffers, RawAndCacheSelectOnlyTheirPlane) {
    RawData r(240, 720);
    FrameDataFormat f{1, 2, FrameType::CACHE, 3};
    EXPECT_EQ(r.getData(FrameType::DEPTH), nullptr);
    EXPECT_EQ(r.getFormat(FrameType::DEPTH, f), -1);
    EXPECT_EQ(f.width, 1u);
    EXPECT_NE(r.getData(FrameType::RAW), nullptr);
    r.setTimestamp(9);
    ASSERT_EQ(r.getFormat(FrameType::RAW, f), 0);
    EXPECT_EQ(f.timestamp, 9u);
    EXPECT_EQ(f.type, FrameType::RAW);

    CacheData c(240, 1440, 345600);
    EXPECT_EQ(c.getData(FrameType::RAW), nullptr);
    EXPECT_NE(c.getData(FrameType::CACHE), nullptr);
}

TEST(FramePool, DepthPoolHoldsThreeBuffersOfTheDepthGeometry) {
    FramePool pool(FrameType::DEPTH, infoOf(240, 720), OutputGeometry{2, 240, 180});
    ASSERT_EQ(pool.queue->allNodes().size(), 3u);
    EXPECT_EQ(pool.capacity, 3);
    EXPECT_EQ(pool.readyCount, 0);
    EXPECT_EQ(pool.readyLimit, 3);
    EXPECT_EQ(pool.queue->freeCount(), 3u);
    EXPECT_EQ(pool.queue->readyCount(), 0u);
    for (LinkNode* node : pool.queue->allNodes()) {
        auto* depth = dynamic_cast<DepthData*>(node->buffer);
        ASSERT_NE(depth, nullptr);
        FrameDataFormat f{};
        depth->getFormat(FrameType::DEPTH, f);
        EXPECT_EQ(size_t(f.width) * f.height, 43200u);
        // Each plane takes 43200 floats: the last element is writable without trouble under ASan.
        static_cast<float*>(depth->getData(FrameType::CONFIDENCE))[43199] = 1.0f;
        static_cast<float*>(depth->getData(FrameType::DEPTH))[43199] = 1.0f;
        static_cast<float*>(depth->getData(FrameType::AMPLITUDE))[43199] = 1.0f;
    }
    // The cache holds one camera frame of 16-bit samples: 240 x 720 x 2 bytes.
    EXPECT_EQ(pool.cache->size(), 345600u);
    FrameDataFormat f{};
    ASSERT_EQ(pool.cache->getFormat(FrameType::CACHE, f), 0);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 1440u);
    EXPECT_EQ(f.type, FrameType::CACHE);
    EXPECT_EQ(f.timestamp, 0u);
}

TEST(FramePool, RawPoolHoldsThreeRawBuffers) {
    FramePool pool(FrameType::RAW, infoOf(240, 720), OutputGeometry{2, 240, 720});
    ASSERT_EQ(pool.queue->allNodes().size(), 3u);
    for (LinkNode* node : pool.queue->allNodes()) {
        auto* raw = dynamic_cast<RawData*>(node->buffer);
        ASSERT_NE(raw, nullptr);
        FrameDataFormat f{};
        raw->getFormat(FrameType::RAW, f);
        EXPECT_EQ(size_t(f.width) * f.height, 172800u);
        static_cast<int16_t*>(raw->getData(FrameType::RAW))[172799] = 1;
    }
}

TEST(FrameQueue, FreeStackIsLastInFirstOutAndReadyQueueFirstInFirstOut) {
    FramePool pool(FrameType::RAW, infoOf(4, 4), OutputGeometry{2, 4, 4});
    const auto& nodes = pool.queue->allNodes();
    // The last node built is on top.
    LinkNode* a = pool.queue->takeFree();
    LinkNode* b = pool.queue->takeFree();
    LinkNode* c = pool.queue->takeFree();
    EXPECT_EQ(a, nodes[2]);
    EXPECT_EQ(b, nodes[1]);
    EXPECT_EQ(c, nodes[0]);
    EXPECT_EQ(pool.queue->takeFree(), nullptr);
    EXPECT_EQ(a->next, nullptr);

    pool.queue->pushReady(b);
    pool.queue->pushReady(a);
    pool.queue->pushReady(c);
    EXPECT_EQ(pool.queue->takeReady(), b);
    EXPECT_EQ(pool.queue->takeReady(), a);
    EXPECT_EQ(pool.queue->takeReady(), c);
    EXPECT_EQ(pool.queue->takeReady(), nullptr);
    // After the queue emptied, a push makes the node head and tail again.
    pool.queue->pushReady(a);
    EXPECT_EQ(pool.queue->takeReady(), a);

    EXPECT_EQ(pool.queue->putFree(a), 0);
    EXPECT_EQ(pool.queue->putFree(c), 0);
    EXPECT_EQ(pool.queue->takeFree(), c);
    EXPECT_EQ(pool.queue->takeFree(), a);
}

TEST(FrameQueue, PutFreeRefusesForeignAndNotHeldNodes) {
    FramePool pool(FrameType::RAW, infoOf(4, 4), OutputGeometry{2, 4, 4});
    FramePool other(FrameType::RAW, infoOf(4, 4), OutputGeometry{2, 4, 4});
    LinkNode stray;

    LinkNode* held = pool.queue->takeFree();
    LinkNode* ready = pool.queue->takeFree();
    pool.queue->pushReady(ready);
    LinkNode* stillFree = pool.queue->allNodes()[0];

    const struct {
        const char* what;
        LinkNode* node;
    } refused[] = {
        {"node of another pool", other.queue->allNodes()[0]},
        {"node of no pool", &stray},
        {"null", nullptr},
        {"node in the ready queue", ready},
        {"node already in the free stack", stillFree},
    };
    for (const auto& row : refused) {
        EXPECT_EQ(pool.queue->putFree(row.node), -1) << row.what;
        EXPECT_EQ(pool.queue->freeCount(), 1u) << row.what;
        EXPECT_EQ(pool.queue->readyCount(), 1u) << row.what;
    }
    EXPECT_EQ(pool.queue->putFree(held), 0);
    EXPECT_EQ(pool.queue->putFree(held), -1) << "released twice";
    EXPECT_EQ(pool.queue->freeCount(), 2u);
    EXPECT_EQ(pool.queue->takeReady(), ready);
    EXPECT_EQ(pool.queue->readyCount(), 0u);
}

TEST(FrameQueue, FindNodeSearchesOnlyItsOwnNodes) {
    FramePool pool(FrameType::DEPTH, infoOf(4, 4), OutputGeometry{2, 4, 4});
    FramePool other(FrameType::DEPTH, infoOf(4, 4), OutputGeometry{2, 4, 4});
    for (LinkNode* node : pool.queue->allNodes()) EXPECT_EQ(pool.queue->findNode(node->buffer), node);
    EXPECT_EQ(pool.queue->findNode(other.queue->allNodes()[1]->buffer), nullptr);
    EXPECT_EQ(pool.queue->findNode(nullptr), nullptr);
}

// Sizes whose byte counts would wrap, or beyond the bound of a pool, throw before any plane is
// allocated; the bound itself is built.
TEST(FramePool, SizesBeyondTheBoundThrowWithoutAllocatingPlanes) {
    const struct {
        CameraInfo info;
        OutputGeometry geometry;
        bool built;
    } rows[] = {
        {infoOf(4096, 4096), {2, 4, 4}, true},
        {infoOf(4, 4), {2, 4096, 4096}, true},
        {infoOf(4096, 4097), {2, 4, 4}, false},
        {infoOf(4, 4), {2, 1u << 24, 2}, false},
        {infoOf(0xFFFFFFFFu, 0x80000001u), {2, 4, 4}, false},
        {infoOf(4, 4), {2, 0xFFFFFFFFu, 0xFFFFFFFFu}, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.info.width) + "x" + std::to_string(r.info.height) + " planes " +
                     std::to_string(r.geometry.width) + "x" + std::to_string(r.geometry.height));
        for (FrameType type : {FrameType::RAW, FrameType::DEPTH}) {
            long before = liveAllocations.load();
            bool threw = false;
            try {
                FramePool pool(type, r.info, r.geometry);
                EXPECT_EQ(pool.cache->size(), size_t(r.info.width) * r.info.height * 2);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            EXPECT_EQ(threw, !r.built);
            EXPECT_EQ(liveAllocations.load(), before);
        }
    }
}

TEST(FramePool, AllocationFailureAtEveryStepFreesWhatWasBuilt) {
    // Count the allocations a whole build makes, then fail each one in turn.
    long before = liveAllocations.load();
    long total = 0;
    {
        allocationsUntilFailure.store(1000000);
        FramePool pool(FrameType::DEPTH, infoOf(8, 8), OutputGeometry{2, 8, 8});
        total = 1000000 - allocationsUntilFailure.load();
        allocationsUntilFailure.store(-1);
    }
    ASSERT_GT(total, 10);
    for (FrameType type : {FrameType::DEPTH, FrameType::RAW}) {
        for (long n = 0; n < total; ++n) {
            allocationsUntilFailure.store(n);
            bool threw = false;
            try {
                FramePool pool(type, infoOf(8, 8), OutputGeometry{2, 8, 8});
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            allocationsUntilFailure.store(-1);
            if (type == FrameType::DEPTH) {
                EXPECT_TRUE(threw) << "allocation " << n;
            }
            EXPECT_EQ(liveAllocations.load(), before) << "allocation " << n;
        }
    }
}

}  // namespace
