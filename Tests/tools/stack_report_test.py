#!/usr/bin/python3
"""tools/stack-report: the nesting arithmetic, the instructions it follows in
library code, and indirect calls in real compiler output."""
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
_loader = importlib.machinery.SourceFileLoader("stack_report", os.path.join(HERE, "..", "..", "tools", "stack-report"))
_spec = importlib.util.spec_from_loader("stack_report", _loader)
sr = importlib.util.module_from_spec(_spec)
_loader.exec_module(sr)
Func = sr.Func
FRAME = 36


def board(**extra):
    """Thread 100 deep, tick 50, the level-0 handlers 10, 30 and 20 deep."""
    g = {
        "Reset_Handler": Func(0, {"main"}), "main": Func(60, {"a", "b"}),
        "a": Func(40), "b": Func(10),
        "TIM2_IRQHandler": Func(8, {"run"}), "run": Func(42),
        "SysTick_Handler": Func(10), "USART1_IRQHandler": Func(30), "USART2_IRQHandler": Func(20),
    }
    g.update(extra)
    return g


class Nesting(unittest.TestCase):
    # Faults caught: a missing exception frame, two level-0 handlers counted
    # as nested, a shallower branch taken for the deepest, the tick left out.
    def test_thread_tick_and_one_level0_handler_each_with_a_frame(self):
        parts, total = sr.worst_nesting(board(), set())
        self.assertEqual([(p[1], p[2][0]) for p in parts],
                         [(100, "Reset_Handler"), (50 + FRAME, "TIM2_IRQHandler"), (30 + FRAME, "USART1_IRQHandler")])
        self.assertEqual(parts[0][2], ("Reset_Handler", "main", "a"))
        self.assertEqual(total, 100 + 50 + 30 + 2 * FRAME)

    # Faults caught: an indirect call counted as a leaf (silently optimistic),
    # or one that nothing can resolve let through.
    def test_indirect_call_reaches_every_stored_function_or_fails(self):
        g = board(run=Func(42, indirect=True), deep=Func(500), shallow=Func(5))
        self.assertEqual(sr.deepest(g, "TIM2_IRQHandler", {"deep", "shallow"})[0], 8 + 42 + 500)
        with self.assertRaisesRegex(sr.AnalysisError, "calls through a pointer"):
            sr.worst_nesting(g, set())

    # Fault caught: recursion reported as a finite depth.
    def test_recursion_fails(self):
        with self.assertRaisesRegex(sr.AnalysisError, "recursion: main > a > main"):
            sr.worst_nesting(board(a=Func(40, {"main"})), set())


class LibraryCode(unittest.TestCase):
    # Faults caught: a push form not counted, a pop or frame release counted
    # as taking stack, an untraceable SP write let through.
    def test_stack_taken_per_instruction(self):
        cases = [
            ("push", "{r4, r5, r6, lr}", 16), ("stmdb", "sp!, {r4, r5, r6, r7, r8, r9, sl, fp, lr}", 36),
            ("str.w", "lr, [sp, #-8]!", 8), ("strd", "r4, r5, [sp, #-16]!", 16),
            ("sub", "sp, #12", 12), ("sub.w", "sp, sp, #260", 260), ("str", "r3, [sp, #4]", 0),
            ("pop", "{r4, pc}", 0), ("ldmia.w", "sp!, {r4, r5, lr}", 0), ("ldr.w", "pc, [sp], #8", 0),
            ("add", "sp, #12", 0), ("add", "r0, sp, #32", 0), ("mov", "r6, sp", 0),
            ("mov", "sp, r6", None), ("sub", "sp, r3", None),
        ]
        for mnemonic, ops, taken in cases:
            with self.subTest(insn=f"{mnemonic} {ops}"):
                self.assertEqual(sr.stack_decrement(mnemonic, ops), taken)


@unittest.skipUnless(shutil.which("arm-none-eabi-g++"), "no ARM compiler")
class CompiledImage(unittest.TestCase):
    # Faults caught: a call through a table of function pointers, as the
    # console's dispatch makes, left out of the depth; a compiler frame
    # size not read.
    def test_table_dispatch_reaches_the_deepest_entry(self):
        src = """
            typedef void (*fn)(void);
            void small(void) {}
            void big(void) { volatile char buf[400]; buf[0] = 1; }
            extern const fn table[];
            const fn table[] = {small, big};
            extern "C" void Reset_Handler(void);
            volatile int pick;
            extern "C" void Reset_Handler(void) { for (;;) table[pick](); }
        """
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "t.cpp"), "w") as f:
                f.write(src)
            gxx = ["arm-none-eabi-g++", "-mcpu=cortex-m3", "-mthumb", "-fno-exceptions"]
            subprocess.run(gxx + ["-O2", "-fstack-usage", "-fcallgraph-info=su", "-c", "t.cpp"], cwd=d, check=True)
            subprocess.run(gxx + ["-nostdlib", "-Wl,-e,Reset_Handler", "-o", "t.elf", "t.o"], cwd=d, check=True)
            frames, edges = sr.read_callgraphs([os.path.join(d, "t.ci")])
            funcs, taken = sr.read_image(os.path.join(d, "t.elf"))
            graph, name_of = sr.build_graph(funcs, frames, edges)
            depth, chain = sr.deepest(graph, "Reset_Handler", {name_of[a] for a in taken})
        self.assertEqual(chain, ("Reset_Handler", "_Z3bigv"))
        self.assertGreaterEqual(depth, 400)


if __name__ == "__main__":
    unittest.main()
