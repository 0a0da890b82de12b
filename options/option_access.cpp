// Reading and setting option values under their constraints, and the
// follow-ups that keep the scan area consistent with the source and with the
// device's minimum scan size.
#include "options/options.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "options/units_internal.h"

namespace {

bool valid_index(SANE_Int option) { return static_cast<uint32_t>(option) < NUM_OPTIONS; }

SANE_Word read_word(const void* value) {
    SANE_Word word;
    std::memcpy(&word, value, sizeof word);
    return word;
}

void write_word(void* value, SANE_Word word) { std::memcpy(value, &word, sizeof word); }

bool is_word_type(SANE_Value_Type type) { return type == SANE_TYPE_INT || type == SANE_TYPE_FIXED; }

// Stores the acceptable word `accepted` for a request of `requested`: an
// adjusted value is written back and reported as inexact where the slot
// allows it, and refused otherwise.
SANE_Status store_word(DeviceOptions* options, SANE_Int option, void* value, SANE_Int* info, SANE_Word requested,
                       SANE_Word accepted) {
    if (accepted != requested) {
        if ((options->slots[option].flags & SLOT_ADJUSTABLE) == 0) {
            return SANE_STATUS_INVAL;
        }
        write_word(value, accepted);
        *info |= SANE_INFO_INEXACT;
    }
    options->slots[option].word = accepted;
    return SANE_STATUS_GOOD;
}

SANE_Status set_range(DeviceOptions* options, SANE_Int option, void* value, SANE_Int* info) {
    const SANE_Option_Descriptor& d = options->descriptors[option];
    const SANE_Range* range = d.constraint.range;
    if (range == nullptr || !is_word_type(d.type)) {
        return SANE_STATUS_INVAL;
    }
    const SANE_Word requested = read_word(value);
    SANE_Word clamped = requested;
    if (requested < range->min) {
        clamped = range->min;
    } else if (requested > range->max) {
        clamped = range->max;
    }
    return store_word(options, option, value, info, requested, clamped);
}

SANE_Status set_word_list(DeviceOptions* options, SANE_Int option, void* value, SANE_Int* info) {
    const SANE_Option_Descriptor& d = options->descriptors[option];
    const SANE_Word* list = d.constraint.word_list;
    if (list == nullptr || !is_word_type(d.type) || list[0] < 1) {
        return SANE_STATUS_INVAL;
    }
    const SANE_Word requested = read_word(value);
    // Between two equally near words the earlier one wins.
    SANE_Word best = list[1];
    int64_t best_difference = std::llabs(static_cast<int64_t>(best) - requested);
    for (SANE_Word i = 2; i <= list[0] && best_difference != 0; ++i) {
        const int64_t difference = std::llabs(static_cast<int64_t>(list[i]) - requested);
        if (difference < best_difference) {
            best = list[i];
            best_difference = difference;
        }
    }
    return store_word(options, option, value, info, requested, best);
}

SANE_Status set_string_list(DeviceOptions* options, SANE_Int option, void* value, SANE_Int* info) {
    const SANE_Option_Descriptor& d = options->descriptors[option];
    const SANE_String_Const* list = d.constraint.string_list;
    if (list == nullptr || d.type != SANE_TYPE_STRING || list[0] == nullptr) {
        return SANE_STATUS_INVAL;
    }
    char* requested = static_cast<char*>(value);
    const char* entry = nullptr;
    for (size_t i = 0; list[i] != nullptr; ++i) {
        if (strcasecmp(list[i], requested) == 0) {
            entry = list[i];
            break;
        }
    }
    if (entry == nullptr) {
        return SANE_STATUS_INVAL;
    }
    if (std::strcmp(entry, requested) != 0) {
        if ((options->slots[option].flags & SLOT_ADJUSTABLE) == 0) {
            return SANE_STATUS_INVAL;
        }
        // Equal ignoring case, so the same length: the buffer has room.
        std::memcpy(requested, entry, std::strlen(entry));
        *info |= SANE_INFO_INEXACT;
    }
    // The list's own entry, never the buffer: the source value must stay one
    // of the shared source strings.
    options->slots[option].string = entry;
    return SANE_STATUS_GOOD;
}

// Keeps the scan area at least `minimum` pixels wide (or high) by moving the
// bottom-right corner, whichever corner was set.
void enforce_minimum_size(DeviceOptions* options, SANE_Int top_left, SANE_Int bottom_right, uint32_t minimum,
                          SANE_Int* info) {
    const uint32_t r = options->capability.basic_resolution;
    const int32_t t = fixed_mm_to_pixels(options->slots[top_left].word, r);
    const int32_t b = fixed_mm_to_pixels(options->slots[bottom_right].word, r);
    const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(b) - static_cast<uint32_t>(t));
    const uint32_t magnitude = d < 0 ? 0u - static_cast<uint32_t>(d) : static_cast<uint32_t>(d);
    if (magnitude >= minimum) {
        return;
    }
    const int64_t moved = d >= 0 ? static_cast<int64_t>(t) + minimum : static_cast<int64_t>(t) - minimum;
    // A corner left of (or above) 0 is converted from its signed pixel value,
    // so it simply lies left of 0 instead of wrapping to a huge positive size.
    options->slots[bottom_right].word = moved < 0 ? signed_pixels_to_fixed_mm(moved, r)
                                                  : pixels_to_fixed_mm(static_cast<uint32_t>(moved), r);
    *info |= SANE_INFO_INEXACT;
}

}  // namespace

SANE_Status control_option(DeviceOptions* options, SANE_Int option, SANE_Action action, void* value,
                           SANE_Int* info) {
    switch (action) {
        case SANE_ACTION_SET_VALUE: {
            SANE_Int local_info = 0;
            const SANE_Status status = set_option_value(options, option, value, &local_info);
            if (info != nullptr) {
                *info = local_info;
            }
            return status;
        }
        case SANE_ACTION_SET_AUTO:
            return SANE_STATUS_UNSUPPORTED;
        case SANE_ACTION_GET_VALUE:
            return get_option_value(options, option, value);
        default:
            return SANE_STATUS_GOOD;
    }
}

SANE_Status get_option_value(DeviceOptions* options, SANE_Int option, void* value) {
    if (options == nullptr || value == nullptr || !valid_index(option)) {
        return SANE_STATUS_INVAL;
    }
    const SANE_Option_Descriptor& d = options->descriptors[option];
    switch (d.type) {
        case SANE_TYPE_BOOL:
        case SANE_TYPE_INT:
        case SANE_TYPE_FIXED:
            write_word(value, options->slots[option].word);
            return SANE_STATUS_GOOD;
        case SANE_TYPE_STRING: {
            // A source option without any source has size 0: nothing to copy.
            const char* string = options->slots[option].string;
            std::strncpy(static_cast<char*>(value), string != nullptr ? string : "", static_cast<size_t>(d.size));
            return SANE_STATUS_GOOD;
        }
        default:
            return SANE_STATUS_INVAL;
    }
}

SANE_Status set_option_value(DeviceOptions* options, SANE_Int option, void* value, SANE_Int* info) {
    if (options == nullptr || value == nullptr || !valid_index(option)) {
        return SANE_STATUS_INVAL;
    }
    SANE_Int ignored = 0;
    SANE_Int* bits = info != nullptr ? info : &ignored;

    const SANE_Option_Descriptor& d = options->descriptors[option];
    SANE_Status status = SANE_STATUS_INVAL;
    switch (d.constraint_type) {
        case SANE_CONSTRAINT_RANGE:
            status = set_range(options, option, value, bits);
            break;
        case SANE_CONSTRAINT_WORD_LIST:
            status = set_word_list(options, option, value, bits);
            break;
        case SANE_CONSTRAINT_STRING_LIST:
            status = set_string_list(options, option, value, bits);
            break;
        case SANE_CONSTRAINT_NONE:
            if (d.type == SANE_TYPE_BOOL) {
                options->slots[option].word = read_word(value);
                status = SANE_STATUS_GOOD;
            }
            break;
        default:
            break;
    }
    if (status != SANE_STATUS_GOOD) {
        return status;
    }
    update_dependent_options(options, option, bits);
    return SANE_STATUS_GOOD;
}

void update_dependent_options(DeviceOptions* options, SANE_Int option, SANE_Int* info) {
    if (options == nullptr || info == nullptr || !valid_index(option)) {
        return;
    }
    const uint32_t flags = options->slots[option].flags;
    if ((flags & SLOT_GEOMETRY) != 0) {
        const DeviceCapability& cap = options->capability;
        const char* source = options->slots[OPT_SOURCE].string;
        const bool feeder = source == SOURCE_ADF || source == SOURCE_ADF_DUPLEX;
        const uint32_t min_w = feeder ? cap.adf_min_Width : cap.flatbed_min_width;
        const uint32_t min_h = feeder ? cap.adf_min_height : cap.flatbed_min_height;

        switch (option) {
            case OPT_SOURCE:
                apply_source_geometry(options);
                *info |= SANE_INFO_RELOAD_OPTIONS;
                break;
            case OPT_TL_X:
            case OPT_BR_X:
                enforce_minimum_size(options, OPT_TL_X, OPT_BR_X, min_w, info);
                break;
            case OPT_TL_Y:
            case OPT_BR_Y:
                enforce_minimum_size(options, OPT_TL_Y, OPT_BR_Y, min_h, info);
                break;
            default:
                break;
        }
    }
    if ((flags & SLOT_RELOAD_PARAMS) != 0) {
        *info |= SANE_INFO_RELOAD_PARAMS;
    }
}
