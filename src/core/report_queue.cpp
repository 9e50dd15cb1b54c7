#include <cstring>
#include <new>

#include "TallyService.h"

// A chunk holds a fixed run of records; the queue is a singly linked list of
// chunks. Appends fill the tail chunk, takes consume the head chunk, so both
// cost one record copy plus, once per chunk, one allocation or one free.
struct ReportQueue::Chunk {
    static constexpr size_t kCapacity = 32;
    Chunk* next = nullptr;
    ReportData records[kCapacity];
};

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
            chunk = new Chunk;
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
        delete drained;
    }
}

void ReportQueue::clear() {
    while (m_head != nullptr) {
        Chunk* next = m_head->next;
        delete m_head;
        m_head = next;
    }
    delete m_spare;
    m_spare = nullptr;
    m_tail = nullptr;
    m_headIndex = 0;
    m_tailCount = 0;
    m_size = 0;
}
