# Script mode: SOURCE_DIR, OUTPUT, VERSION, GIT.
set(texts release_manifest release-manifest.toml
          cargo_lock native-deps.lock
          uv_lock python-deps.lock)

set(body "// Generated at build time: the provenance of this build.\n#pragma once\n\n")
string(APPEND body "namespace kestrune::provenance {\n\n")
string(APPEND body "inline constexpr char version[] = \"${VERSION}\";\n")

list(LENGTH texts count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET texts ${i} name)
  list(GET texts ${j} file)
  file(READ ${SOURCE_DIR}/${file} content)
  file(SHA256 ${SOURCE_DIR}/${file} digest)
  string(FIND "${content}" ")KESTRUNE_TEXT\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} contains the raw-string delimiter")
  endif()
  string(APPEND body "inline constexpr char ${name}[] = R\"KESTRUNE_TEXT(${content})KESTRUNE_TEXT\";\n")
  string(APPEND body "inline constexpr char ${name}_sha256[] = \"${digest}\";\n")
endforeach()

set(commit "0000000000000000000000000000000000000000")
set(dirty true)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --verify HEAD
                  OUTPUT_VARIABLE head RESULT_VARIABLE head_failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT head_failed AND head MATCHES "^[0-9a-f]+$")
    set(commit ${head})
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} status --porcelain
                    OUTPUT_VARIABLE changes RESULT_VARIABLE status_failed ERROR_QUIET)
    if(NOT status_failed AND changes STREQUAL "")
      set(dirty false)
    endif()
  endif()
endif()
string(APPEND body "inline constexpr char source_commit[] = \"${commit}\";\n")
string(APPEND body "inline constexpr bool source_dirty = ${dirty};\n\n}  // namespace kestrune::provenance\n")

set(previous "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} previous)
endif()
if(NOT previous STREQUAL body)
  file(WRITE ${OUTPUT} "${body}")
endif()
