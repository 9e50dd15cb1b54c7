#include <cstring>
#include <new>

#include "TallyService.h"
#include "platform/platform.h"

// A chunk holds a fixed run of records; the queue is a singly linked list of
// chunks. Appends fill the tail chunk, takes consume the head chunk, so both
// cost one record copy plus, once per chunk, one mapping or one unmapping.
//
// Chunks are pages mapped from the system for themselves, not heap blocks: a
// freed heap block goes back to the allocator, which keeps the pages of a
// drained backlog in the host process for good, while an unmapped chunk
// leaves the process at once. 64 KiB is the unit in which Windows maps
// memory; a chunk holds 31 records.
struct ReportQueue::Chunk {
    static constexpr size_t kBytes = 64 * 1024;
    static constexpr size_t kCapacity = (kBytes - sizeof(void*)) / sizeof(ReportData);
    Chunk* next = nullptr;
    ReportData records[kCapacity];
};

namespace {

// Templates, so that they need not name the private chunk type.
template <typename Chunk>
Chunk* NewChunk() {
    static_assert(sizeof(Chunk) <= Chunk::kBytes, "a chunk fits its pages");
    void* pages = platform::MapPages(Chunk::kBytes);
    if (pages == nullptr) throw std::bad_alloc();
    return new (pages) Chunk;
}

template <typename Chunk>
void DeleteChunk(Chunk* chunk) {
    if (chunk == nullptr) return;
    chunk->~Chunk();
    platform::UnmapPages(chunk, Chunk::kBytes);
}

}  // namespace

ReportQueue::~ReportQueue() {
    clear();
}

ReportData& ReportQueue::front() {
    return m_head->records[m_headIndex];
}

void ReportQueue::push_back(const ReportData& record) {
    if (m_tail == nullptr || m_tailCount == Chunk::kCapacity) {
        Chunk* chunk = m_spare;
        if (chunk != nullptr) {
            m_spare = nullptr;
        } else {
            chunk = NewChunk<Chunk>();
        }
        chunk->next = nullptr;
        if (m_tail != nullptr) {
            m_tail->next = chunk;
        } else {
            m_head = chunk;
            m_headIndex = 0;
        }
        m_tail = chunk;
        m_tailCount = 0;
    }
    std::memcpy(&m_tail->records[m_tailCount], &record, sizeof(ReportData));
    ++m_tailCount;
    ++m_size;
}

void ReportQueue::pop_front() {
    ++m_headIndex;
    --m_size;
    const bool lastChunk = (m_head == m_tail);
    if (m_headIndex < (lastChunk ? m_tailCount : Chunk::kCapacity)) {
        return;
    }
    // The head chunk is used up: give it back (keeping one spare).
    Chunk* drained = m_head;
    m_head = drained->next;
    m_headIndex = 0;
    if (lastChunk) {
        m_tail = nullptr;
        m_tailCount = 0;
    }
    if (m_spare == nullptr) {
        m_spare = drained;
    } else {
        DeleteChunk(drained);
    }
}

void ReportQueue::clear() {
    while (m_head != nullptr) {
        Chunk* next = m_head->next;
        DeleteChunk(m_head);
        m_head = next;
    }
    DeleteChunk(m_spare);
    m_spare = nullptr;
    m_tail = nullptr;
    m_headIndex = 0;
    m_tailCount = 0;
    m_size = 0;
}
