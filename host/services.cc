// SPDX-License-Identifier: Apache-2.0
// The host's smaller platform services: error messages, assertions, queues,
// randomness, HA role, PAC notifications, hardware identity, the subsystem
// framework and the service registry framework.
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keystore/platform/ks_platform.h"
#include "keystore/platform/ks_platform_records.h"
#include "keystore_host/host.h"
#include "recorder.h"

namespace {

int env_int(const char *name, int fallback) {
    const char *e = std::getenv(name);
    if (e == nullptr || *e == '\0') return fallback;
    return static_cast<int>(std::strtol(e, nullptr, 0));
}

// ---- Assertions ----
constinit ksh_assert_handler g_assert_handler = nullptr;

// ---- Randomness ----
constinit uint64_t g_seed = 0;
constinit uint64_t g_stream = 0;
constinit bool g_seed_read = false;

uint64_t splitmix64(uint64_t &x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// ---- HA, hardware identity ----
constexpr int kUnset = -1000000;
constinit int g_ha_active = kUnset;
constinit int64_t g_hw_models = -1;  // -1: not set
constinit int g_board_subtype = kUnset;
constexpr size_t kQueryLogMax = 256;
constinit uint32_t g_query_log[kQueryLogMax] = {};
constinit size_t g_query_count = 0;

// ---- PAC notifications ----
constinit ksh::Ring<ksh_pac_event> g_pac_events;
constinit ksh_pac_handler g_added = nullptr;
constinit ksh_pac_handler g_deleted = nullptr;
constinit void *g_pac_ctx = nullptr;

void record_pac(int added, const uint8_t *aid, uint32_t len) {
    ksh_pac_event *e = g_pac_events.add();
    if (e == nullptr) return;
    e->added = added;
    e->aid_len = len;
    if (aid != nullptr) std::memcpy(e->aid, aid, len < sizeof e->aid ? len : sizeof e->aid);
}

// ---- Subsystems ----
constexpr size_t kMaxSubsystems = 64;
constinit ks_subsystem_header *g_subsystems[kMaxSubsystems] = {};
constinit size_t g_subsystem_count = 0;
constinit bool g_subsystems_started[kMaxSubsystems] = {};

// ---- Registries ----
constexpr size_t kMaxRegistries = 32;
constinit void *g_registries[kMaxRegistries] = {};
constinit size_t g_registry_count = 0;
constinit uint64_t g_release_count = 0;
// Framework's own flag bit: the node was unsubscribed during a walk and is
// released when the walk ends. Subscribers' flags never carry it.
constexpr uint8_t kNodeRemoved = 0x80;

void purge_removed(ks_list_header *h) {
    for (ks_list_node **at = &h->first; *at != nullptr;) {
        ks_list_node *n = *at;
        if ((n->u.flags & kNodeRemoved) != 0) {
            *at = n->next;
            std::free(n);
        } else {
            at = &n->next;
        }
    }
}

}  // namespace

extern "C" {

const uint8_t list_service_ops[16] = {'l', 'i', 's', 't'};

// ---- Assertions ----
void platform_assert(const char *expression, const char *path, int line) {
    std::fprintf(stderr, "assertion failed: %s at %s:%d\n", expression ? expression : "?", path ? path : "?", line);
    std::fflush(stderr);
    if (g_assert_handler) g_assert_handler(expression, path, line);
    std::abort();
}

void ksh_set_assert_handler(ksh_assert_handler handler) { g_assert_handler = handler; }

// ---- Queues ----
void fifo_enqueue(void *queue, void *element) {
    auto *q = static_cast<ks_queue_header *>(queue);
    if (q == nullptr || element == nullptr) return;
    *static_cast<void **>(element) = nullptr;
    if (q->head == nullptr) {
        q->head = element;
    } else {
        // The tail is recomputed when it is not known, so a zero-filled
        // header is an empty queue.
        void *t = q->tail;
        if (t == nullptr) {
            t = q->head;
            while (*static_cast<void **>(t) != nullptr) t = *static_cast<void **>(t);
        }
        *static_cast<void **>(t) = element;
    }
    q->tail = element;
    ++q->count;
}

void *fifo_dequeue(void *queue) {
    auto *q = static_cast<ks_queue_header *>(queue);
    if (q == nullptr || q->head == nullptr) return nullptr;
    void *e = q->head;
    q->head = *static_cast<void **>(e);
    if (q->head == nullptr) q->tail = nullptr;
    *static_cast<void **>(e) = nullptr;
    if (q->count) --q->count;
    return e;
}

void *fifo_unlink(void *queue, void *element, void *predecessor) {
    auto *q = static_cast<ks_queue_header *>(queue);
    if (q == nullptr || element == nullptr || q->head == nullptr) return nullptr;
    if (predecessor == nullptr) {
        if (q->head != element) return nullptr;
        return fifo_dequeue(queue);
    }
    if (*static_cast<void **>(predecessor) != element) return nullptr;
    void *next = *static_cast<void **>(element);
    *static_cast<void **>(predecessor) = next;
    if (q->tail == element) q->tail = predecessor;
    *static_cast<void **>(element) = nullptr;
    if (q->count) --q->count;
    return element;
}

// ---- Randomness ----
int platform_random_fill(void *buffer, uint32_t length) {
    if (buffer == nullptr) return -1;
    if (!g_seed_read) {
        g_seed_read = true;
        if (g_seed == 0) {
            const char *e = std::getenv("KSH_RANDOM_SEED");
            if (e != nullptr && *e != '\0') g_seed = std::strtoull(e, nullptr, 0);
            g_stream = g_seed;
        }
    }
    auto *b = static_cast<uint8_t *>(buffer);
    if (g_seed != 0) {
        for (uint32_t i = 0; i < length; i += 8) {
            uint64_t r = splitmix64(g_stream);
            for (uint32_t k = 0; k < 8 && i + k < length; ++k) b[i + k] = static_cast<uint8_t>(r >> (8 * k));
        }
        return 0;
    }
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = getrandom(b + done, length - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<uint32_t>(n);
    }
    return 0;
}

void ksh_random_set_seed(uint64_t seed) {
    g_seed = seed;
    g_stream = seed;
    g_seed_read = true;
}

// ---- HA role, hardware identity ----
int ha_core_is_active(void) {
    if (g_ha_active == kUnset) g_ha_active = env_int("KSH_HA_ACTIVE", 1);
    return g_ha_active;
}

void ksh_set_ha_active(int active) { g_ha_active = active; }

int hw_model_query(uint32_t family) {
    if (g_query_count < kQueryLogMax) g_query_log[g_query_count] = family;
    ++g_query_count;
    if (g_hw_models < 0) g_hw_models = static_cast<uint32_t>(env_int("KSH_HW_MODELS", 0));
    return family < 32 && ((static_cast<uint64_t>(g_hw_models) >> family) & 1u) ? 1 : 0;
}

int hw_board_subtype(void) {
    if (g_board_subtype == kUnset) g_board_subtype = env_int("KSH_BOARD_SUBTYPE", 0);
    return g_board_subtype;
}

void ksh_set_hw_models(uint32_t mask) { g_hw_models = mask; }
void ksh_set_board_subtype(int subtype) { g_board_subtype = subtype; }

size_t ksh_hw_query_log(uint32_t *families, size_t max) {
    size_t n = g_query_count < kQueryLogMax ? g_query_count : kQueryLogMax;
    for (size_t i = 0; i < n && i < max && families != nullptr; ++i) families[i] = g_query_log[i];
    return g_query_count;
}

void ksh_hw_query_log_clear(void) { g_query_count = 0; }

// ---- PAC notifications ----
void notify_pac_added(const uint8_t *aid, uint32_t aid_len) {
    record_pac(1, aid, aid_len);
    if (g_added) g_added(g_pac_ctx, aid, aid_len);
}

void notify_pac_deleted(const uint8_t *aid, uint32_t aid_len) {
    record_pac(0, aid, aid_len);
    if (g_deleted) g_deleted(g_pac_ctx, aid, aid_len);
}

void ksh_set_pac_handlers(ksh_pac_handler added, ksh_pac_handler deleted, void *ctx) {
    g_added = added;
    g_deleted = deleted;
    g_pac_ctx = ctx;
}

size_t ksh_pac_event_count(void) { return g_pac_events.size(); }
const ksh_pac_event *ksh_pac_event_at(size_t i) { return g_pac_events.at(i); }
void ksh_pac_events_clear(void) { g_pac_events.clear(); }
uint64_t ksh_pac_events_dropped(void) { return g_pac_events.dropped(); }

// ---- Subsystem framework ----
int subsystem_register(void *header) {
    if (header == nullptr || g_subsystem_count == kMaxSubsystems) return 0;
    g_subsystems[g_subsystem_count++] = static_cast<ks_subsystem_header *>(header);
    return 1;
}

size_t ksh_subsystem_count(void) { return g_subsystem_count; }
const void *ksh_subsystem_at(size_t i) { return i < g_subsystem_count ? g_subsystems[i] : nullptr; }
const char *ksh_subsystem_name(size_t i) { return i < g_subsystem_count ? g_subsystems[i]->name : nullptr; }

void ksh_platform_reset_started(void) {
    for (bool &started : g_subsystems_started) started = false;
}

void ksh_platform_start(void) {
    // Class order, ties in registration order; each header runs once.
    for (;;) {
        size_t best = g_subsystem_count;
        for (size_t i = 0; i < g_subsystem_count; ++i) {
            if (g_subsystems_started[i]) continue;
            if (best == g_subsystem_count || g_subsystems[i]->class_number < g_subsystems[best]->class_number) best = i;
        }
        if (best == g_subsystem_count) return;
        g_subsystems_started[best] = true;
        if (g_subsystems[best]->init) g_subsystems[best]->init();
    }
}

// ---- Service registry framework ----
// A registry block is accepted when its descriptor names list services only
// and the block is large enough for the three head words and its slots.
int service_registry_init(void *registry_block) {
    auto *head = static_cast<ks_registry_block_head *>(registry_block);
    if (head == nullptr || head->descriptor == nullptr) return 0;
    const ks_registry_descriptor *d = head->descriptor;
    if (d->name == nullptr || d->kinds == nullptr || d->kinds->ops != list_service_ops ||
        d->kinds->count != d->num_services ||
        d->block_size < sizeof(ks_registry_block_head) + d->num_services * sizeof(void *))
        return 0;
    for (size_t i = 0; i < g_registry_count; ++i)
        if (g_registries[i] == registry_block) return 1;
    if (g_registry_count == kMaxRegistries) return 0;
    g_registries[g_registry_count++] = registry_block;
    return 1;
}

// Ends one walk: when no walk is left under way, the nodes unsubscribed
// during the walks are released.
void service_registry_release_list(void *list_header) {
    ++g_release_count;
    auto *h = static_cast<ks_list_header *>(list_header);
    if (h == nullptr) return;
    if (h->walk_count > 0) --h->walk_count;
    if (h->walk_count == 0) purge_removed(h);
}

size_t ksh_registry_init_count(void) { return g_registry_count; }
const void *ksh_registry_init_at(size_t i) { return i < g_registry_count ? g_registries[i] : nullptr; }
uint64_t ksh_registry_release_count(void) { return g_release_count; }

int ksh_registry_make_empty_list(void *slot) {
    auto **s = static_cast<ks_list_header **>(slot);
    if (s == nullptr) return 0;
    if (*s == nullptr) *s = static_cast<ks_list_header *>(std::calloc(1, sizeof(ks_list_header)));
    return *s != nullptr;
}

int ksh_registry_subscribe(void *slot, ksh_service_fn fn, uint8_t flags) {
    if (slot == nullptr || fn == nullptr || !ksh_registry_make_empty_list(slot)) return 0;
    auto *h = *static_cast<ks_list_header **>(slot);
    auto *n = static_cast<ks_list_node *>(std::calloc(1, sizeof(ks_list_node)));
    if (n == nullptr) return 0;
    n->u.flags = static_cast<uint8_t>(flags & ~kNodeRemoved);
    n->fn = fn;
    ks_list_node **at = &h->first;
    while (*at != nullptr) at = &(*at)->next;
    *at = n;
    return 1;
}

int ksh_registry_unsubscribe(void *slot, ksh_service_fn fn) {
    auto **s = static_cast<ks_list_header **>(slot);
    if (s == nullptr || *s == nullptr) return 0;
    ks_list_header *h = *s;
    for (ks_list_node **at = &h->first; *at != nullptr; at = &(*at)->next) {
        ks_list_node *n = *at;
        if (n->fn != fn || (n->u.flags & kNodeRemoved) != 0) continue;
        if (h->walk_count > 0) {
            // A walk may be standing on this node: pass over it from now on
            // and release it when the last walk ends.
            n->u.flags |= KS_LIST_NODE_SKIP | kNodeRemoved;
        } else {
            *at = n->next;
            std::free(n);
        }
        return 1;
    }
    return 0;
}

size_t ksh_registry_subscriber_count(const void *slot) {
    auto *const *s = static_cast<ks_list_header *const *>(slot);
    if (s == nullptr || *s == nullptr) return 0;
    size_t count = 0;
    for (const ks_list_node *n = (*s)->first; n != nullptr; n = n->next)
        if ((n->u.flags & kNodeRemoved) == 0) ++count;
    return count;
}

void ksh_registry_clear(void *slot) {
    auto **s = static_cast<ks_list_header **>(slot);
    if (s == nullptr || *s == nullptr) return;
    for (ks_list_node *n = (*s)->first; n != nullptr;) {
        ks_list_node *next = n->next;
        std::free(n);
        n = next;
    }
    std::free(*s);
    *s = nullptr;
}

// ---- Reset ----
void ksh_reset_recorders(void) {
    ksh_trace_clear();
    ksh_message_clear();
    ksh_pac_events_clear();
    ksh_hw_query_log_clear();
    ksh_alloc_clear_faults();
}

}  // extern "C"
