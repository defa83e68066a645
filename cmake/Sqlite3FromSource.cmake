# SQLite built into the program from its single-file source (sqlite3.c, sqlite3.h) in
# LAN2COM_SQLITE_SOURCE_DIR, as the target SQLite::SQLite3 that find_package(SQLite3) gives
# elsewhere. The source is SQLite's own: it is compiled as it is, without our warnings.

foreach(file sqlite3.c sqlite3.h)
    if(NOT EXISTS "${LAN2COM_SQLITE_SOURCE_DIR}/${file}")
        message(FATAL_ERROR "LAN2COM_SQLITE_SOURCE_DIR=${LAN2COM_SQLITE_SOURCE_DIR} has no ${file}")
    endif()
endforeach()

enable_language(C)
add_library(lan2com_sqlite3 STATIC "${LAN2COM_SQLITE_SOURCE_DIR}/sqlite3.c")
target_include_directories(lan2com_sqlite3 SYSTEM PUBLIC "${LAN2COM_SQLITE_SOURCE_DIR}")
target_compile_definitions(lan2com_sqlite3 PRIVATE
    SQLITE_THREADSAFE=1          # the writer thread and the readers each have their own connection
    SQLITE_OMIT_LOAD_EXTENSION)  # nothing is loaded into the journal
target_compile_options(lan2com_sqlite3 PRIVATE -w)
find_package(Threads REQUIRED)
target_link_libraries(lan2com_sqlite3 PUBLIC Threads::Threads)
add_library(SQLite::SQLite3 ALIAS lan2com_sqlite3)

file(STRINGS "${LAN2COM_SQLITE_SOURCE_DIR}/sqlite3.h" version_line
    REGEX "^#define SQLITE_VERSION +\"[0-9.]+\"")
string(REGEX MATCH "[0-9.]+" SQLite3_VERSION "${version_line}")
set(SQLite3_FOUND TRUE)
message(STATUS "SQLite ${SQLite3_VERSION} built in from ${LAN2COM_SQLITE_SOURCE_DIR}")
