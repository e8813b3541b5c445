# Writes Info.json, the application's read-only information file, into the resource
# directory. The bundle version is the number of commits, so every build from a different
# revision reads differently in support reports.
find_package(Git QUIET)
set(HUSHNOTE_BUNDLE_VERSION "local")
if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
    execute_process(
        COMMAND "${GIT_EXECUTABLE}" rev-list --count HEAD
        WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
        OUTPUT_VARIABLE _hushnote_rev_count
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET
        RESULT_VARIABLE _hushnote_git_result)
    if(_hushnote_git_result EQUAL 0 AND _hushnote_rev_count MATCHES "^[0-9]+$")
        set(HUSHNOTE_BUNDLE_VERSION "${_hushnote_rev_count}")
    endif()
endif()

set(HUSHNOTE_ASSET_MANIFEST_URL "" CACHE STRING "Default address of the remote asset manifest")
set(HUSHNOTE_ASSET_PUBLIC_KEY "" CACHE STRING
    "Base64 Ed25519 public key that asset manifests must be signed with (empty: unsigned manifests)")
configure_file("${PROJECT_SOURCE_DIR}/Resources/Info.json.in"
    "${HUSHNOTE_RESOURCE_DIR}/Info.json" @ONLY)
install(FILES "${HUSHNOTE_RESOURCE_DIR}/Info.json"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/hushnote")
