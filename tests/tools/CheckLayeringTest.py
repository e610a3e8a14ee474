#!/usr/bin/env python3
"""Builds small scratch trees, each a clean tree plus one layering violation,
and expects tools/check-layering to refuse every one for the right reason (and
to accept the clean tree)."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                     "check-layering")

ROOT_CMAKE = """\
cmake_minimum_required(VERSION 3.25)
project(scratch LANGUAGES CXX)
function(qx_module name)
  cmake_parse_arguments(M "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${M_DEPS})
endfunction()
file(GLOB_RECURSE lists RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/*/CMakeLists.txt)
list(SORT lists)
foreach(l ${lists})
  get_filename_component(d ${l} DIRECTORY)
  add_subdirectory(${d})
endforeach()
"""

DOC = """\
# Scratch

<!-- layers -->
| layer | what | folders |
|---|---|---|
| 1 | base | `platform/foundation` |
| 2 | images | `platform/imageio`, `platform/mach` |
| 3 | views | `platform/uikit` |
| 4 | subsystems | `image_loading` |
| 5 | plugins | `plugins/*` |
<!-- /layers -->

<!-- sub-folder-order -->
| library folder | sub-folders, lowest first |
|---|---|
| `image_loading` | `coders`, `cache` |
<!-- /sub-folder-order -->
"""

CLEAN = {
    "CMakeLists.txt": ROOT_CMAKE,
    "docs/ARCHITECTURE.md": DOC,
    "platform/foundation/CMakeLists.txt": "qx_module(qx_foundation)\n",
    "platform/foundation/F.h":
        "#pragma once\n#include <functional>\n#include \"Mutex.h\"\nint f();\n"
        "struct Queue {\n"
        "  Mutex mutex_;  // not a std::mutex: the analysis sees it\n"
        "  int items_ GUARDED_BY(mutex_) = 0;\n"
        "  // Copyable: it runs for every item.\n"
        "  std::function<void(int)> itemCompletion_;\n"
        "  std::function<void(int reply)> run_;\n"
        "};\n",
    # The one place a standard mutex may be named: the annotated type's home.
    "platform/foundation/Mutex.h":
        "#pragma once\n#include <mutex>\n#define GUARDED_BY(x)\n"
        "class Mutex { std::mutex mutex_; };\n",
    "platform/foundation/F.cpp":
        '#include "F.h"\nint f() { return 1; }\n'
        # Foundation is where the main thread is asked about.
        "bool isMainThread();\nvoid hop(const std::function<void()>& block) {\n"
        "  if (isMainThread()) block();\n}\n"
        # Callbacks that run more than once, or that are handed on, or only
        # borrowed, or said to be copyable, are plain functions.
        "void each(int n, std::function<void(int)> step) {\n"
        "  for (int i = 0; i < n; ++i) {\n    step(i);\n  }\n}\n"
        "void keep(std::function<void()> block) { hop(std::move(block)); }\n"
        "void now(const std::function<void()>& block) { block(); }\n"
        "// `tick` is copyable: a timer repeats it.\n"
        "void repeat(std::function<void()> tick) { hop([tick] { tick(); }); }\n"
        "int value(std::function<int()> make) { return make(); }\n"
        "void check(std::function<void()> block) {\n  if (!block) return;\n}\n"
        "void tee(std::function<void()> block) {\n  hop(block);\n  block();\n}\n"
        "void local() {\n  auto run = [](std::function<void()> block) { block(); };\n"
        "  run([] {});\n}\n"
        "// Copyable: it runs for each row.\nusing RowBlock = std::function<void(int)>;\n"
        "void rows(RowBlock row) { hop([row] { row(1); }); }\n",
    "platform/mach/CMakeLists.txt": "qx_module(qx_mach DEPS qx_foundation)\n",
    "platform/mach/M.h": "#pragma once\nint m();\n",
    "platform/mach/M.cpp": '#include "platform/mach/M.h"\nint m() { return 2; }\n',
    # A link inside one layer is fine.
    "platform/imageio/CMakeLists.txt": "qx_module(qx_imageio DEPS qx_mach qx_foundation)\n",
    "platform/imageio/I.h": "#pragma once\nint i();\n",
    "platform/imageio/I.cpp":
        '#include "platform/imageio/I.h"\n#include <vector>\n'
        '/* An include shown in a comment is none:\n#include "platform/uikit/U.h"\n*/\n'
        '#include "platform/foundation/F.h"\nint i() { return f(); }\n',
    "platform/uikit/CMakeLists.txt": "qx_module(qx_uikit DEPS qx_imageio qx_foundation)\n",
    "platform/uikit/U.h": "#pragma once\nint u();\n",
    "platform/uikit/internal/Secret.h": "#pragma once\nint secret();\n",
    "platform/uikit/U.cpp":
        '#include "U.h"\n#include "internal/Secret.h"\n#include <platform/imageio/I.h>\n'
        "int secret() { return 3; }\nint u() { return i() + secret(); }\n",
    "plugins/p/CMakeLists.txt": "qx_module(qx_plugin_p DEPS qx_uikit qx_foundation)\n",
    "plugins/p/P.cpp": '#include "platform/uikit/U.h"\nint p() { return u(); }\n',
    "image_loading/CMakeLists.txt": "qx_module(qx_image_loading DEPS qx_foundation)\n",
    "image_loading/coders/C.h": "#pragma once\nint c();\n",
    "image_loading/coders/C.cpp": '#include "image_loading/coders/C.h"\nint c() { return 4; }\n',
    "image_loading/cache/K.h": "#pragma once\nint k();\n",
    "image_loading/cache/K.cpp":
        '#include "image_loading/cache/K.h"\n#include "image_loading/coders/C.h"\n'
        "int k() { return c(); }\n",
}


def write_tree(root, files):
    for rel, text in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)


def run_check(changes):
    files = dict(CLEAN)
    for rel, text in changes.items():
        files[rel] = files.get(rel, "") + text if rel.endswith((".cpp", ".h")) else text
    with tempfile.TemporaryDirectory(prefix="qx-layering-test-") as tmp:
        write_tree(tmp, files)
        done = subprocess.run([sys.executable, CHECK, "--root", tmp],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode, done.stdout


class CheckLayeringTest(unittest.TestCase):
    def assertRefused(self, changes, *expected):
        code, out = run_check(changes)
        self.assertEqual(code, 1, out)
        for text in expected:
            self.assertIn(text, out)

    def test_clean_tree_passes(self):
        # Angle-bracket and quoted includes of linked libraries, a relative
        # include of the library's own internal header, an include inside a
        # comment and an include down the sub-folder order are all fine.
        code, out = run_check({})
        self.assertEqual(code, 0, out)

    def test_include_of_an_unlinked_library(self):
        self.assertRefused({"platform/imageio/I.cpp": '#include "platform/uikit/U.h"\n'},
                           "platform/imageio/I.cpp:8: qx_imageio includes platform/uikit/U.h",
                           "which it does not link itself")

    def test_angle_bracket_include(self):
        self.assertRefused({"platform/imageio/I.h": "#include <platform/uikit/U.h>\n"},
                           "platform/imageio/I.h:3: qx_imageio includes platform/uikit/U.h")

    def test_reverse_include_with_the_reverse_link_declared(self):
        self.assertRefused(
            {"platform/foundation/F.cpp": '#include "platform/uikit/U.h"\n',
             "platform/foundation/CMakeLists.txt": "qx_module(qx_foundation DEPS qx_uikit)\n"},
            "cycle between libraries: qx_foundation, qx_imageio, qx_mach, qx_uikit link",
            "qx_foundation (layer 1) links qx_uikit of the higher layer 3")

    def test_cycle_inside_one_layer(self):
        code, out = run_check(
            {"platform/mach/CMakeLists.txt": "qx_module(qx_mach DEPS qx_imageio qx_foundation)\n"})
        self.assertEqual(code, 1, out)
        self.assertIn("cycle between libraries: qx_imageio, qx_mach link", out)
        self.assertNotIn("higher layer", out)

    def test_plugin_reaching_a_library_through_public_links(self):
        self.assertRefused({"plugins/p/P.cpp": '#include "platform/imageio/I.h"\n'},
                           "qx_plugin_p includes platform/imageio/I.h of qx_imageio, "
                           "which it does not link itself")

    def test_include_against_the_sub_folder_order(self):
        self.assertRefused({"image_loading/coders/C.cpp": '#include "image_loading/cache/K.h"\n'},
                           "image_loading/coders/C.cpp:3: includes image_loading/cache/K.h of "
                           "image_loading/cache, which comes after image_loading/coders")

    def test_sub_folder_missing_from_the_order(self):
        self.assertRefused({"image_loading/views/V.cpp": '#include "image_loading/coders/C.h"\n'},
                           "image_loading/views is not in the sub-folder order of image_loading")

    def test_internal_header_from_outside_its_library(self):
        self.assertRefused({"plugins/p/P.cpp": '#include "platform/uikit/internal/Secret.h"\n'},
                           "qx_plugin_p includes platform/uikit/internal/Secret.h, "
                           "internal to qx_uikit")

    def test_library_in_no_layer(self):
        self.assertRefused({"extra/CMakeLists.txt": "qx_module(qx_extra DEPS qx_foundation)\n",
                            "extra/E.cpp": '#include "platform/foundation/F.h"\n'},
                           "extra: library qx_extra is in no layer")

    def test_standard_mutex_in_product_code(self):
        for spelling in ("std::mutex", "std::recursive_mutex", "std::shared_mutex",
                         "std::timed_mutex"):
            with self.subTest(spelling):
                self.assertRefused(
                    {"platform/mach/M.h": f"#include <mutex>\nstruct S {{\n  {spelling} lock;\n}};\n"},
                    f"platform/mach/M.h:5: {spelling} is not checked")
        # Only code counts: a comment or a string may name it, and tests may use it.
        code, out = run_check({"platform/mach/M.h": "// Not a std::mutex.\nint m();\n"
                                                    "/* Nor a\n   std::mutex, here. */\n"
                                                    "const char* kWhy = \"std::mutex\";\n",
                               "tests/platform/mach/T.cpp": "#include <mutex>\nstd::mutex m;\n"})
        self.assertEqual(code, 0, out)
        # A "//" in a string ends no line's code: the mutex after it is found.
        self.assertRefused(
            {"platform/mach/M.h": "#include <mutex>\nconst char* kUrl = \"http://x\"; "
                                  "/* c */ std::mutex lock;\n"},
            "platform/mach/M.h:4: std::mutex is not checked")

    def test_completion_that_is_a_plain_function(self):
        self.assertRefused(
            {"platform/mach/M.h": "#include <functional>\n"
                                  "using MachCompletion = std::function<void()>;\n"
                                  "void load(int a,\n"
                                  "          const std::function<void(int)>& reply);\n"},
            "platform/mach/M.h:4: MachCompletion is a std::function",
            "platform/mach/M.h:6: reply is a std::function")

    def test_callback_that_runs_once_whatever_its_name(self):
        self.assertRefused(
            {"platform/mach/M.cpp": "#include <functional>\n"
                                    "using MachDone = std::function<void(int)>;\n"
                                    "void post(std::function<void()> block);\n"
                                    "void load(std::function<void(int)> done) {\n"
                                    "  if (!done) return;\n"
                                    "  post([done] { done(1); });\n}\n"
                                    "void save(int a, MachDone then) {\n"
                                    "  post([then = std::move(then), a] { then(a); });\n}\n"},
            "platform/mach/M.cpp:6: parameter done is a std::function",
            "platform/mach/M.cpp:10: parameter then is a std::function")

    def test_hand_made_main_thread_hop(self):
        code, out = run_check(
            {"plugins/p/P.cpp": "void later(int);\n"
                                "// Asking isMainThread() in a comment is fine.\n"
                                "void run() {\n  if (isMainThread()) later(1);\n}\n",
             # Only platform/foundation itself may ask, not the rest of platform/.
             "platform/uikit/U.cpp": "bool on() { return NSThread::isMainThread(); }\n"})
        self.assertEqual(code, 1, out)
        self.assertIn("plugins/p/P.cpp:6: asks isMainThread() itself", out)
        self.assertIn("platform/uikit/U.cpp:6: asks isMainThread() itself", out)
        self.assertNotIn("P.cpp:4:", out)
        self.assertNotIn("F.cpp", out)

    def test_link_to_a_higher_layer_without_an_include(self):
        self.assertRefused(
            {"image_loading/CMakeLists.txt": "qx_module(qx_image_loading DEPS qx_plugin_p)\n"},
            "qx_image_loading (layer 4) links qx_plugin_p of the higher layer 5")


if __name__ == "__main__":
    unittest.main()
