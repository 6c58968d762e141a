// Bounded FIFO of PDUs for the isochronous and interrupt endpoints.
//
// All slot memory is allocated once at construction; nothing is allocated per
// PDU. The slots hold PDUs in the flat form of usb/usb_pdu.h (header in host
// order first), which lets an unlink find a queued request by its seqnum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class CTicking;

class CTQueue {
  public:
    static constexpr size_t slot_size = 2048;  // bytes per PDU slot
    static constexpr int slot_count = 64;

    CTQueue();
    CTQueue(const CTQueue &) = delete;
    CTQueue &operator=(const CTQueue &) = delete;

    // Drops every queued PDU and links the queue to clock (may be null): the
    // next PDU pushed into the empty queue restarts that clock, so the reply
    // cadence is anchored to the first transfer after an activation.
    void restart(CTicking *clock);
    // Stores min(length, slot_size) bytes. 1 stored, 0 when the queue is full.
    int push(size_t length, const void *pdu);
    // Copies the oldest PDU (at most size bytes) and removes it. Returns the
    // bytes copied, 0 when the queue is empty.
    size_t pop(void *buf, size_t size);
    // Removes the queued PDU whose header carries seqnum, keeping the order of
    // the others. 1 removed, 0 not queued.
    int remove_seqnum(uint32_t seqnum);
    int size();

  private:
    std::mutex lock_;
    CTicking *linked_ = nullptr;
    int restart_pending_ = 0;
    std::unique_ptr<uint8_t[]> store_;
    uint8_t *slots_[slot_count];
    size_t lens_[slot_count] = {};
    int count_ = 0;
    int read_index_ = 0;
    int write_index_ = 0;
};
