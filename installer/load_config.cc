// The image's load configuration directory. Linked into installer.exe
// only; the linker points the directory at the symbol _load_config_used and
// takes its size from the structure's first field.
//
// It exists for one field: DependentLoadFlags. Windows 10 1607 and later
// resolve every static import of the image, and every forwarder those
// imports lead to, with these flags, before any code of the installer
// runs. LOAD_LIBRARY_SEARCH_SYSTEM32 keeps that search in the system
// directory: a library of a system name in the user's Downloads folder,
// beside the installer, is never loaded, whatever a later change adds to
// the import table. (Earlier Windows ignore the field; for them the import
// table itself holds nothing that could be looked for there.)
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {

// IMAGE_LOAD_CONFIG_DIRECTORY64 as Windows 11's headers define it; the
// compiler's own headers stop at an older, shorter version, which names
// DependentLoadFlags "Reserved1". Every field but the size and the flags is
// zero: no security cookie, no control-flow guard tables, no lock prefixes.
struct LoadConfigDirectory {
  uint32_t size;
  uint32_t time_date_stamp;
  uint16_t major_version;
  uint16_t minor_version;
  uint32_t global_flags_clear;
  uint32_t global_flags_set;
  uint32_t critical_section_default_timeout;
  uint64_t decommit_free_block_threshold;
  uint64_t decommit_total_free_threshold;
  uint64_t lock_prefix_table;
  uint64_t maximum_allocation_size;
  uint64_t virtual_memory_threshold;
  uint64_t process_affinity_mask;
  uint32_t process_heap_flags;
  uint16_t csd_version;
  uint16_t dependent_load_flags;
  uint64_t edit_list;
  uint64_t security_cookie;
  uint64_t se_handler_table;
  uint64_t se_handler_count;
  uint64_t guard_cf_check_function_pointer;
  uint64_t guard_cf_dispatch_function_pointer;
  uint64_t guard_cf_function_table;
  uint64_t guard_cf_function_count;
  uint32_t guard_flags;
  uint16_t code_integrity_flags;
  uint16_t code_integrity_catalog;
  uint32_t code_integrity_catalog_offset;
  uint32_t code_integrity_reserved;
  uint64_t guard_address_taken_iat_entry_table;
  uint64_t guard_address_taken_iat_entry_count;
  uint64_t guard_long_jump_target_table;
  uint64_t guard_long_jump_target_count;
  uint64_t dynamic_value_reloc_table;
  uint64_t chpe_metadata_pointer;
  uint64_t guard_rf_failure_routine;
  uint64_t guard_rf_failure_routine_function_pointer;
  uint32_t dynamic_value_reloc_table_offset;
  uint16_t dynamic_value_reloc_table_section;
  uint16_t reserved2;
  uint64_t guard_rf_verify_stack_pointer_function_pointer;
  uint32_t hot_patch_table_offset;
  uint32_t reserved3;
  uint64_t enclave_configuration_pointer;
  uint64_t volatile_metadata_pointer;
  uint64_t guard_eh_continuation_table;
  uint64_t guard_eh_continuation_count;
  uint64_t guard_xfg_check_function_pointer;
  uint64_t guard_xfg_dispatch_function_pointer;
  uint64_t guard_xfg_table_dispatch_function_pointer;
  uint64_t cast_guard_os_determined_failure_mode;
  uint64_t guard_memcpy_function_pointer;
};

// The places Windows reads them from.
static_assert(offsetof(LoadConfigDirectory, dependent_load_flags) == 0x4E,
              "DependentLoadFlags lies at 0x4E");
static_assert(offsetof(LoadConfigDirectory, guard_flags) == 0x90,
              "GuardFlags lies at 0x90");
static_assert(sizeof(LoadConfigDirectory) == 0x140,
              "the directory's current version is 0x140 bytes");

// Built at compile time: there is no runtime to run an initializer.
constexpr LoadConfigDirectory MakeLoadConfig() {
  LoadConfigDirectory config{};
  config.size = sizeof(LoadConfigDirectory);
  config.dependent_load_flags = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return config;
}

}  // namespace

// The name is the one the linkers look for.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" constexpr LoadConfigDirectory _load_config_used = MakeLoadConfig();
