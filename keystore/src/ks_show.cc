// SPDX-License-Identifier: Apache-2.0
// Show commands, front operations of their own: the keystore listing as
// debug traces (ks_show_command) and as a structured message built through
// the platform's show builder (qel_ks_show_command). Both walk the key table
// by index and hold at most one handle copy at a time, released on every way
// out.
#include "keystore/ks_show.h"

#include <cstdint>
#include <cstdio>

#include "keystore/ks_sw_keystore.h"
#include "keystore/ks_types.h"
#include "keystore/platform/ks_platform.h"
#include "ks_cleanse.h"
#include "ks_front.h"
#include "ks_trace.h"

namespace {

// Texts built for the structured message hold at most 255 characters.
constexpr size_t kTextBuf = 256;
// A PAC's A-ID is shown as hex of at most this many bytes (254 characters).
constexpr uint32_t kMaxHexBytes = 127;

enum class Kind { kSecret, kPac, kIndexOnly, kUnknown };

// How both listings treat a record, from its key type.
Kind kind_of(uint8_t type) {
    switch (type) {
        case 0x01:
        case 0x51:
        case 0x52:
        case 0x53: return Kind::kSecret;
        case 0x02: return Kind::kPac;
        case 0x03: return Kind::kIndexOnly;
        default: return Kind::kUnknown;
    }
}

// The one handle copy a walk holds; released when replaced and on every way
// out of the command.
class HeldHandle {
  public:
    HeldHandle() = default;
    HeldHandle(const HeldHandle &) = delete;
    HeldHandle &operator=(const HeldHandle &) = delete;
    ~HeldHandle() { release(); }

    // Fetches the record at index; the previous copy is released first.
    int32_t fetch(uint16_t index) {
        release();
        return ks_sw_return_key_handle_by_index(index, &bytes_, &len_);
    }
    void release() {
        // Names are wiped like every other block the library lets go of.
        ks::free_cleansed(bytes_, len_);
        bytes_ = nullptr;
        len_ = 0;
    }
    const uint8_t *bytes() const { return bytes_; }
    uint8_t len() const { return len_; }
    // Only after a successful fetch: the key type, the handle's first byte.
    uint8_t type() const { return bytes_[0]; }
    // Name or A-ID: handle bytes 1 to len - 1.
    const uint8_t *name() const { return bytes_ + 1; }
    uint32_t name_len() const { return len_ > 0 ? len_ - 1u : 0u; }

  private:
    uint8_t *bytes_ = nullptr;
    uint8_t len_ = 0;
};

using namespace ks::front;

void show_record(const HeldHandle &h) {
    switch (kind_of(h.type())) {
        case Kind::kSecret:
            KS_TRACE(SW, SHOW_SECRET);
            KS_TRACE_BYTES(SW, SHOW_NAME_CHAR, h.name(), h.name_len());
            KS_TRACE(SW, SHOW_SECRET_END, '\n');
            break;
        case Kind::kPac:
            KS_TRACE(SW, SHOW_PAC);
            KS_TRACE_BYTES(SW, SHOW_AID_BYTE, h.name(), h.name_len());
            KS_TRACE(SW, SHOW_PAC_END, '\n');
            break;
        case Kind::kIndexOnly: break;
        case Kind::kUnknown: KS_TRACE(SW, SHOW_UNKNOWN_TYPE, static_cast<int>(h.type())); break;
    }
}

// ---- Structured message ---------------------------------------------------

// One run of the structured command: the builder's context, the message and
// the error word the builder sets.
struct Builder {
    uintptr_t ctx0;
    uintptr_t ctx1;
    int32_t *err;
    void *msg = nullptr;

    bool failed() const { return *err != 0; }
};

// Length of a text snprintf formatted into a kTextBuf buffer (it keeps at
// most kTextBuf - 1 characters).
uint32_t text_len(int formatted) {
    if (formatted < 0) return 0;
    return static_cast<size_t>(formatted) < kTextBuf ? static_cast<uint32_t>(formatted) : kTextBuf - 1;
}

// Where a turn of the walk goes next.
enum class Next { kTurn, kDestroy, kFinish };

// Fills an element for a fetch that failed with status: invalid, with the
// error text as its value. The element is not appended.
Next fill_error(Builder &b, void *elem, void *value, int32_t status) {
    showmsg_elem_set_valid(b.ctx0, b.ctx1, elem, 0, b.err);
    if (b.failed()) {
        KS_TRACE(SW, QEL_SET_INVALID_ERROR, static_cast<int>(*b.err));
        return Next::kDestroy;
    }
    char text[kTextBuf];
    int n = std::snprintf(text, sizeof text, "Error %s accessing keystore record\n", ks_err_str(status));
    vstring_assign(b.ctx0, b.ctx1, value, text, text_len(n), b.err);
    if (b.failed()) {
        KS_TRACE(SW, QEL_ASSIGN_ERROR, static_cast<int>(*b.err));
        return Next::kDestroy;
    }
    return Next::kFinish;
}

// Fills an element from a record that was read.
Next fill_record(Builder &b, void *elem, void *value, const HeldHandle &h) {
    showmsg_elem_set_valid(b.ctx0, b.ctx1, elem, 1, b.err);
    if (b.failed()) {
        KS_TRACE(SW, QEL_SET_VALID, static_cast<int>(*b.err));
        return Next::kDestroy;
    }
    KS_TRACE(SW, QEL_HANDLE, static_cast<const void *>(h.bytes()), static_cast<int>(h.type()),
             static_cast<int>(h.len()));

    char text[kTextBuf];
    switch (kind_of(h.type())) {
        case Kind::kSecret:
            showmsg_elem_set_type(b.ctx0, b.ctx1, elem, 0, b.err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_SET_TYPE_SECRET, static_cast<int>(*b.err));
                return Next::kDestroy;
            }
            vstring_assign(b.ctx0, b.ctx1, value, h.name(), h.name_len(), b.err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_ASSIGN_SECRET, static_cast<int>(*b.err));
                return Next::kDestroy;
            }
            break;
        case Kind::kPac: {
            showmsg_elem_set_type(b.ctx0, b.ctx1, elem, 1, b.err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_SET_TYPE_PAC, static_cast<int>(*b.err));
                return Next::kDestroy;
            }
            static constexpr char kHex[] = "0123456789ABCDEF";
            uint32_t n = h.name_len() < kMaxHexBytes ? h.name_len() : kMaxHexBytes;
            for (uint32_t i = 0; i < n; ++i) {
                text[2 * i] = kHex[h.name()[i] >> 4];
                text[2 * i + 1] = kHex[h.name()[i] & 0x0F];
            }
            text[2 * n] = '\0';
            vstring_assign(b.ctx0, b.ctx1, value, text, 2 * n, b.err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_ASSIGN_PAC, static_cast<int>(*b.err));
                return Next::kDestroy;
            }
            break;
        }
        case Kind::kIndexOnly:
            // Valid, with neither type nor value.
            break;
        case Kind::kUnknown: {
            showmsg_elem_set_valid(b.ctx0, b.ctx1, elem, 0, b.err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_SET_INVALID_TYPE, static_cast<int>(*b.err));
                return Next::kDestroy;
            }
            int n = std::snprintf(text, sizeof text, "Unknown type %d", static_cast<int>(h.type()));
            vstring_assign(b.ctx0, b.ctx1, value, text, text_len(n), b.err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_ASSIGN_UNKNOWN, static_cast<int>(*b.err));
                return Next::kDestroy;
            }
            break;
        }
    }
    return Next::kTurn;
}

}  // namespace

extern "C" {

void ks_show_command(void) {
    HeldHandle h;
    // The listing reports an absent chip itself, without the NO_KEYSTORE
    // error message; the hardware keystore offers no listing.
    int32_t status = dispatch(
        Chip::kProbed,
        [&] {
            KS_TRACE(SW, SHOW_USING_SW);
            return h.fetch(0);
        },
        [] {
            KS_TRACE(SW, SHOW_FW_VERSION);
            return KS_UNKNOWN_FAILURE;
        });
    if (status == KS_NO_KEYSTORE) {
        KS_TRACE(SW, SHOW_NO_KEYSTORE);
        return;
    }
    if (status == KS_NO_MORE_RECORDS) {
        KS_TRACE(SW, SHOW_EMPTY);
        return;
    }
    if (status == KS_SUCCESS) {
        KS_TRACE(SW, SHOW_CONTAINS);
        KS_TRACE(SW, SHOW_HEADER);
        KS_TRACE(SW, SHOW_RULE);
    }

    for (uint16_t index = 0; status == KS_SUCCESS;) {
        KS_TRACE(SW, SHOW_INDEX, static_cast<int>(index));
        show_record(h);
        h.release();
        ++index;
        // Once the software keystore has been switched off, an absent chip is
        // NO_KEYSTORE; a present one has no record to give (its enumeration
        // writes nothing), which is reported as UNKNOWN_FAILURE.
        status = dispatch(
            Chip::kProbed, [&] { return h.fetch(index); }, [] { return KS_UNKNOWN_FAILURE; });
        if (status == KS_NO_MORE_RECORDS) return;
    }
    KS_TRACE(SW, SHOW_ERROR, ks_err_str(status));
}

void qel_ks_show_command(uintptr_t ctx0, uintptr_t ctx1, void *reply, int32_t *err) {
    Builder b{ctx0, ctx1, err};
    HeldHandle h;

    b.msg = showmsg_get_message(ctx0, ctx1, reply, err);
    if (b.failed()) {
        KS_TRACE(SW, QEL_GET_MESSAGE, static_cast<int>(*err));
        return;
    }

    int32_t status;
    // This listing asks which keystore is selected rather than dispatching a
    // call: each keystore sets its own flag of the message before any record
    // is read, and the walk below tells a switch to the hardware keystore
    // from an absent chip.
    const Backend selected = backend(Chip::kProbed);
    if (selected == Backend::kSoftware) {
        showmsg_set_use_sw_ks(ctx0, ctx1, b.msg, 1, err);
        if (b.failed()) {
            KS_TRACE(SW, QEL_SET_USE_SW, static_cast<int>(*err));
            return;
        }
        status = h.fetch(0);
        if (status == KS_SUCCESS) KS_TRACE(SW, QEL_PRINTING);
    } else {
        if (selected == Backend::kAbsent) return;
        KS_TRACE(SW, QEL_HW_NOT_SUPPORTED);
        showmsg_set_is_hw_ks(ctx0, ctx1, b.msg, 0, err);
        if (b.failed()) {
            KS_TRACE(SW, QEL_SET_IS_HW, static_cast<int>(*err));
            return;
        }
        status = KS_UNKNOWN_FAILURE;
    }

    if (status == KS_NO_MORE_RECORDS) {
        showmsg_set_is_empty(ctx0, ctx1, b.msg, 1, err);
        if (b.failed()) KS_TRACE(SW, QEL_SET_IS_EMPTY, static_cast<int>(*err));
    } else {
        void *elem = nullptr;
        Next next = Next::kTurn;
        for (uint16_t index = 0; next == Next::kTurn; ++index) {
            elem = showmsg_elem_create(ctx0, ctx1);
            if (elem == nullptr) {
                KS_TRACE(SW, QEL_ELEM_CREATE);
                break;
            }
            showmsg_elem_set_index(ctx0, ctx1, elem, index, err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_SET_INDEX, static_cast<int>(*err));
                next = Next::kDestroy;
                break;
            }
            void *value = showmsg_elem_get_value(ctx0, ctx1, elem, err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_GET_VALUE, static_cast<int>(*err));
                next = Next::kDestroy;
                break;
            }
            // The position after the last record: the element stays with the
            // builder, neither appended nor destroyed.
            if (status == KS_NO_MORE_RECORDS) break;
            if (status != KS_SUCCESS) {
                next = fill_error(b, elem, value, status);
                break;
            }
            next = fill_record(b, elem, value, h);
            if (next != Next::kTurn) break;

            h.release();
            const Backend now = backend(Chip::kProbed);
            if (now == Backend::kHardware) {
                // Switched to a present hardware keystore: there is no record
                // to read, so the walk ends here and the element in hand stays
                // with the builder.
                KS_TRACE(SW, QEL_HW_DURING_WALK);
                break;
            }
            status = now == Backend::kSoftware ? h.fetch(static_cast<uint16_t>(index + 1)) : KS_NO_KEYSTORE;

            showmsg_list_append(ctx0, ctx1, b.msg, elem, err);
            if (b.failed()) {
                KS_TRACE(SW, QEL_LIST_APPEND, static_cast<int>(*err));
                next = Next::kDestroy;
            }
        }
        if (next == Next::kDestroy) showmsg_elem_destroy(ctx0, ctx1, elem);
    }

    if (chip_present()) KS_TRACE(SW, QEL_COUNTERS_HW);
    h.release();
}

}  // extern "C"
