# nsb_add_test: one test, one line.
#
#   nsb_add_test(NAME <name>
#                SOURCES <file>...           builds the executable <name> from these files
#                                            (with EXECUTABLE too: that one, for tests
#                                            that share it to come)
#              | EXECUTABLE <target>         or runs one built by an earlier nsb_add_test
#              | COMMAND <program> <arg>...  or runs a program that is not built (a script)
#                [LINKS <library>...]        what the executable links besides GoogleTest
#                [INCLUDES <folder>...]      include folders besides tests/
#                [DEFINITIONS <NAME=value>...]
#                [DEPENDS <target>...]       built before the test runs (programs it starts)
#                [ARGS <argument>...]        given to the executable
#                [NETNS]                     runs inside scripts/netns-run.sh (needs root)
#                [LABELS <label>...]
#                [TIMEOUT <seconds>]         default 60; 600 with NETNS
#                [COST <seconds>]            about how long it runs: ctest -j starts the
#                                            longest first (until a run has measured it)
#                [DISABLED])
#
# An executable built from SOURCES links LINKS, gmock and GoogleTest, threads
# and dl, and has tests/ on its include path. Its main is GoogleTest's, except
# for tests labelled `unit`: theirs is tests/common/UnitTestMain.cpp, which
# installs the fake resolver (tests/fakes/FakeResolver.h) first.
#
# Labels:
#   unit         no root, no private namespace, no name server, seconds in
#                all: `ctest -L unit` as any user. NETNS is refused.
#   integration  the real NFS client library against private NFS servers
#                (or private resolvers) in the namespace of NETNS; as root.
#   hostile      the hostile-server catalogue (NSB_HOSTILE_TESTS).
#   static       checks of the source tree itself.
#
# Every test sees NSB_PLUGIN (the built plug-in), NSB_SOURCE_DIR and
# NSB_PYTHON3 (the interpreter of the test tools in testing/) in its
# environment; NETNS tests have the plug-in built before they run.
#
# A NETNS test counts as two of ctest -j's slots (PROCESSORS 2), one of the
# hostile catalogue or any other as one, and scripts/test.sh runs ctest -j with
# twice the CPUs: as many servers and clients at work at once as with one
# slot a CPU, and beside them the catalogue's roads, which mostly wait out
# timeouts (the NFSv3 road: 60 s of CPU in 193 s).
# The test tools' interpreter: Debian's, which scripts/install-deps.sh
# installs with the modules the tools use, before any other in PATH. A version
# manager's shim found first in PATH costs about 0.4 s a start here, and the
# hostile catalogue starts its peer once a case.
find_program(NSB_TEST_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(NSB_TEST_PYTHON3 NAMES python3)

function(nsb_add_test)
  cmake_parse_arguments(PARSE_ARGV 0 T "NETNS;DISABLED" "NAME;EXECUTABLE;TIMEOUT;COST"
                        "SOURCES;COMMAND;LINKS;INCLUDES;DEFINITIONS;DEPENDS;ARGS;LABELS")
  if(T_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nsb_add_test(${T_NAME}): unknown arguments ${T_UNPARSED_ARGUMENTS}")
  endif()
  if("unit" IN_LIST T_LABELS AND T_NETNS)
    message(FATAL_ERROR "nsb_add_test(${T_NAME}): a unit test runs outside any namespace (no NETNS)")
  endif()

  if(T_SOURCES)
    set(target ${T_NAME})
    if(T_EXECUTABLE)
      set(target ${T_EXECUTABLE})
    endif()
    add_executable(${target} ${T_SOURCES})
    if("unit" IN_LIST T_LABELS)
      set(main nsb_unit_main)
    else()
      set(main GTest::gtest_main)
    endif()
    target_link_libraries(${target} PRIVATE ${T_LINKS} ${main} GTest::gmock GTest::gtest
                          Threads::Threads ${CMAKE_DL_LIBS})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${T_INCLUDES})
    if(T_DEFINITIONS)
      target_compile_definitions(${target} PRIVATE ${T_DEFINITIONS})
    endif()
    if(T_DEPENDS)
      add_dependencies(${target} ${T_DEPENDS})
    endif()
    if(T_NETNS)
      add_dependencies(${target} NASShareBrowse)
    endif()
    set(command $<TARGET_FILE:${target}> ${T_ARGS})
  elseif(T_EXECUTABLE)
    set(command $<TARGET_FILE:${T_EXECUTABLE}> ${T_ARGS})
  elseif(T_COMMAND)
    set(command ${T_COMMAND} ${T_ARGS})
  else()
    message(FATAL_ERROR "nsb_add_test(${T_NAME}): needs SOURCES, EXECUTABLE or COMMAND")
  endif()

  if(T_NETNS)
    add_test(NAME ${T_NAME} COMMAND ${CMAKE_SOURCE_DIR}/scripts/netns-run.sh ${command})
    if(NOT "hostile" IN_LIST T_LABELS)
      set_tests_properties(${T_NAME} PROPERTIES PROCESSORS 2)
    endif()
    set(timeout 600)
  else()
    add_test(NAME ${T_NAME} COMMAND ${command})
    set(timeout 60)
  endif()
  if(T_TIMEOUT)
    set(timeout ${T_TIMEOUT})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES
    ENVIRONMENT "NSB_PLUGIN=$<TARGET_FILE:NASShareBrowse>;NSB_SOURCE_DIR=${CMAKE_SOURCE_DIR};NSB_PYTHON3=${NSB_TEST_PYTHON3}"
    TIMEOUT ${timeout})
  if(T_COST)
    set_tests_properties(${T_NAME} PROPERTIES COST ${T_COST})
  endif()
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_DISABLED)
    set_tests_properties(${T_NAME} PROPERTIES DISABLED TRUE)
  endif()
endfunction()
