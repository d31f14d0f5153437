package com.brevan.orx.test;

import com.brevan.orx.Vorn;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;

/**
 * The bridge in a real JVM: commands and their buffers, the fields, error strings, edges of the
 * arrays passed in, handles that are not live, and contexts in several threads. Run as a
 * throw-away account (its home holds the key rings); the argument is a binary public key file.
 * Exit code 0 when every case passed.
 */
public final class VornBridgeTest {
    private static final byte[] OUT_MARK = bytes("stdout before the run");
    private static final byte[] ERR_MARK = bytes("stderr before the run");
    private static final int UNSUPPORTED = 9;
    private static final int BAD_CONTEXT = 13;
    private static final int MAX_CONTEXTS = 1024;
    private static final int MAX_COMMAND = 1 << 20;
    private static final int MAX_INPUT = 256 << 20;
    private static final long THREAD_WAIT_SECONDS = 120;

    private static int failures;
    /** Why a case did not run (it passes, with the reason printed). */
    private static String skipped;
    private static byte[] publicKeyFile;

    private interface Case {
        void run() throws Exception;
    }

    /** One run: the result and both fields afterwards (OUT_MARK / ERR_MARK when untouched). */
    private static final class Run {
        int rc;
        byte[] out;
        byte[] err;

        String out() {
            return text(out);
        }

        String err() {
            return text(err);
        }

        boolean outUntouched() {
            return out == OUT_MARK;
        }

        boolean errUntouched() {
            return err == ERR_MARK;
        }

        /** Set by the run, to nothing. */
        boolean outEmpty() {
            return out != null && out != OUT_MARK && out.length == 0;
        }

        boolean errEmpty() {
            return err != null && err != ERR_MARK && err.length == 0;
        }

        @Override
        public String toString() {
            return "rc " + rc + ", stdout [" + (outUntouched() ? "untouched" : out()) + "], stderr ["
                    + (errUntouched() ? "untouched" : err()) + "]";
        }
    }

    static byte[] bytes(String s) {
        return s.getBytes(StandardCharsets.UTF_8);
    }

    static String text(byte[] b) {
        return b == null ? null : new String(b, StandardCharsets.UTF_8);
    }

    static void check(boolean ok, String what) {
        if (!ok) {
            throw new AssertionError(what);
        }
    }

    static void expect(int rc, Run r) {
        check(r.rc == rc, "expected rc " + rc + ", got " + r);
    }

    static Run run(Vorn vorn, int handle, byte[] command, byte[] input) {
        vorn.stdout_buffer = OUT_MARK;
        vorn.stderr_buffer = ERR_MARK;
        Run r = new Run();
        r.rc = vorn.vorn_run(handle, command, input);
        r.out = vorn.stdout_buffer;
        r.err = vorn.stderr_buffer;
        return r;
    }

    static Run run(Vorn vorn, int handle, String command, byte[] input) {
        return run(vorn, handle, bytes(command), input);
    }

    static Run run(Vorn vorn, int handle, String command) {
        return run(vorn, handle, command, null);
    }

    /** Handles made by init(), released after each case also when it failed half-way. */
    private static final List<Integer> opened = java.util.Collections.synchronizedList(new ArrayList<>());

    static int init(Vorn vorn) {
        int handle = vorn.vorn_init();
        check(handle > 0, "vorn_init gave " + handle);
        opened.add(handle);
        return handle;
    }

    static void test(String name, Case c) {
        try {
            skipped = null;
            c.run();
            System.out.println(skipped == null ? "ok   " + name : "SKIP " + name + ": " + skipped);
        } catch (Throwable t) {
            failures++;
            System.out.println("FAIL " + name + ": " + t);
            t.printStackTrace(System.out);
        }
        Vorn vorn = new Vorn();
        synchronized (opened) {
            for (int h : opened) {
                vorn.vorn_cleanup(h); // a second cleanup is harmless
            }
            opened.clear();
        }
    }

    /** The long key ID of the first record of the type ("pub", "sec") of a --with-colons listing. */
    static String firstKeyId(String colons, String type) {
        for (String line : colons.split("\n")) {
            String[] f = line.split(":", -1);
            if (f[0].equals(type) && f.length > 4) {
                return f[4];
            }
        }
        throw new AssertionError("no key in " + colons);
    }

    static boolean holdsNul(byte[] b) {
        for (byte x : b) {
            if (x == 0) {
                return true;
            }
        }
        return false;
    }

    static void outputAndFields() {
        Vorn vorn = new Vorn();
        int h = init(vorn);
        Run r = run(vorn, h, "--version");
        expect(0, r);
        check("orxcmd (Brevan Vorn Server) 8.5.0\n".equals(r.out()), r.toString());
        check(r.errEmpty(), "a run without error output left stderr_buffer as it was: " + r);

        // A run without output empties stdout_buffer: nothing of an earlier run stays there.
        r = run(vorn, h, "--key-list --key-gen");
        expect(2, r);
        check(r.outEmpty(), "a run without output left stdout_buffer as it was: " + r);
        check("orxcmd: contradictory commands: --key-gen and --key-list\n".equals(r.err()), r.toString());

        // Quoting reaches the engine intact; words outside the table are refused by the engine.
        r = run(vorn, h, "--sda 'two words'");
        expect(9, r);
        r = run(vorn, h, "--key-list \"unbalanced");
        expect(2, r);
        check(r.err().contains("unbalanced quote"), r.toString());
        vorn.vorn_cleanup(h);
    }

    static void errorStrings() {
        Vorn vorn = new Vorn();
        int h = init(vorn);
        check("Success".equals(text(vorn.vorn_error_string(h, 0))), "text of 0");
        check("Wrong or missing passphrase".equals(text(vorn.vorn_error_string(h, 5))), "text of 5");
        for (int code : new int[] {1, 2, 3, 7, 8, 9, 12, 13, 14, -1, Integer.MIN_VALUE, Integer.MAX_VALUE}) {
            byte[] t = vorn.vorn_error_string(h, code);
            check(t != null && t.length > 0 && t.length < 256 && !holdsNul(t), "text of " + code);
        }
        vorn.vorn_cleanup(h);
    }

    static void keyCommandsThroughBuffers() throws Exception {
        Vorn vorn = new Vorn();
        int h = init(vorn);
        check(holdsNul(publicKeyFile), "the key file is binary");
        Run r = run(vorn, h, "--key-add", publicKeyFile);
        expect(0, r);
        check(r.out().contains("1 keys read: 1 new, 0 changed, 0 unchanged"), r.toString());

        r = run(vorn, h, "--key-list --with-colons");
        expect(0, r);
        String id = firstKeyId(r.out(), "pub"); // the only key without a secret part
        r = run(vorn, h, "--key-export 0x" + id);
        expect(0, r);
        byte[] binary = r.out;
        check(holdsNul(binary), "a binary export holds NUL bytes");
        r = run(vorn, h, "--key-export 0x" + id + " --armor");
        expect(0, r);
        check(r.out().startsWith("-----BEGIN ") && r.out().contains("PUBLIC KEY BLOCK-----"), r.toString());
        byte[] armored = r.out;
        for (byte[] again : new byte[][] {binary, armored, publicKeyFile}) {
            r = run(vorn, h, "--key-add --with-colons", again);
            expect(0, r);
            check(r.out().startsWith("imp:unchanged:" + id.substring(8) + ":"), r.toString());
        }

        // A key pair whose passphrase comes from the input buffer (descriptor 0).
        r = run(vorn, h, "--key-gen --key-size 1024 --passphrase-fd 0 --userid 'Ann Example <ann@example.org>'",
                bytes("first secret\n"));
        expect(0, r);
        check(r.out().matches("key 0x[0-9A-F]{8} Ann Example <ann@example.org> generated\n"), r.toString());
        r = run(vorn, h, "--key-list Ann --with-colons");
        expect(0, r);
        check(r.out().startsWith("sec:"), r.toString());
        String ann = firstKeyId(r.out(), "sec");

        // Failures come back as results with one line on standard error.
        r = run(vorn, h, "--key-export 0x0123456789ABCDEF");
        expect(3, r);
        check(r.outEmpty() && r.err().startsWith("orxcmd: "), r.toString());
        check("No matching key".equals(text(vorn.vorn_error_string(h, r.rc))), "text of 3");
        r = run(vorn, h, "--key-add", bytes("not a key at all"));
        expect(8, r);
        r = run(vorn, h, "--key-remove 0x" + ann);
        check(r.rc != 0, "a key pair removed without --force: " + r);
        r = run(vorn, h, "--key-remove 0x" + ann + " --force");
        expect(0, r);
        vorn.vorn_cleanup(h);
    }

    static void emptyInputIsNoInput() {
        Vorn vorn = new Vorn();
        int h = init(vorn);
        String gen = "--key-gen --key-size 1024 --passphrase-fd 0 --userid 'Nobody <no@example.org>'";
        Run none = run(vorn, h, gen, null);
        Run empty = run(vorn, h, gen, new byte[0]);
        expect(5, none);
        expect(5, empty);
        check(none.err().equals(empty.err()), none + " / " + empty);
        none = run(vorn, h, "--key-add", null);
        empty = run(vorn, h, "--key-add", new byte[0]);
        check(none.rc != 0 && none.rc == empty.rc && none.err().equals(empty.err()), none + " / " + empty);
        vorn.vorn_cleanup(h);
    }

    static void commandEdges() {
        Vorn vorn = new Vorn();
        int h = init(vorn);
        Run r = run(vorn, h, (byte[]) null, null);
        expect(2, r);
        check("orxcmd: no command\n".equals(r.err()) && r.outEmpty(), r.toString());
        r = run(vorn, h, new byte[0], null);
        expect(2, r);

        // The engine would read only up to the NUL: "--key-remove X" of "--key-remove X\0 --force".
        r = run(vorn, h, bytes("--version\0--key-list"), null);
        expect(2, r);
        check("orxcmd: the command holds a NUL byte\n".equals(r.err()) && r.outEmpty(), r.toString());

        // The longest command taken runs; one byte more is refused before the engine sees it.
        byte[] longest = new byte[MAX_COMMAND];
        Arrays.fill(longest, (byte) ' ');
        System.arraycopy(bytes("--version"), 0, longest, 0, 9);
        r = run(vorn, h, longest, null);
        expect(0, r);
        byte[] tooLong = Arrays.copyOf(longest, MAX_COMMAND + 1);
        tooLong[MAX_COMMAND] = (byte) ' ';
        r = run(vorn, h, tooLong, null);
        expect(2, r);
        check(r.outEmpty() && r.err().equals("orxcmd: the command is longer than 1048576 bytes\n"), r.toString());

        StringBuilder words = new StringBuilder("--key-list");
        for (int i = 0; i < 5000; i++) {
            words.append(" w");
        }
        r = run(vorn, h, words.toString());
        expect(2, r);
        check(r.err().contains("more than 4096 words"), r.toString());

        // Bytes that are no text reach the engine as they are and are refused as a command line.
        r = run(vorn, h, new byte[] {(byte) 0xff, (byte) 0xfe, '-', '-'}, null);
        expect(2, r);
        vorn.vorn_cleanup(h);
    }

    static void inputEdges() {
        Vorn vorn = new Vorn();
        int h = init(vorn);
        // Large input that is no key data: read whole and refused as data.
        byte[] noise = new byte[8 << 20];
        new java.util.Random(7).nextBytes(noise);
        noise[0] = 0;
        Run r = run(vorn, h, "--key-add", noise);
        expect(8, r);
        // One byte over the bound: refused before anything is copied for the engine.
        byte[] tooLarge = new byte[MAX_INPUT + 1];
        r = run(vorn, h, "--version", tooLarge);
        expect(7, r);
        check(r.outEmpty() && r.err().equals("orxcmd: the input is larger than 268435456 bytes\n"), r.toString());
        vorn.vorn_cleanup(h);
    }

    static void badHandles() {
        Vorn vorn = new Vorn();
        int freed = init(vorn);
        vorn.vorn_cleanup(freed);
        vorn.vorn_cleanup(freed); // twice: harmless
        for (int bad : new int[] {0, -1, 1, 1024, 12345, freed, Integer.MAX_VALUE, Integer.MIN_VALUE}) {
            Run r = run(vorn, bad, "--version");
            expect(BAD_CONTEXT, r);
            check(r.outEmpty() && "orxcmd: a null or unknown context\n".equals(r.err()), "handle " + bad + ": " + r);
            check(vorn.vorn_error_string(bad, 0) == null, "error string of handle " + bad);
            vorn.vorn_cleanup(bad);
        }

        // Handles of released contexts stay refused when their slots hold new contexts.
        Set<Integer> old = new HashSet<>();
        old.add(freed);
        for (int i = 0; i < MAX_CONTEXTS + 100; i++) {
            int h = init(vorn);
            check(old.add(h), "handle " + h + " given twice");
            vorn.vorn_cleanup(h);
        }
        int live = init(vorn);
        expect(0, run(vorn, live, "--version"));
        for (int h : old) {
            expect(BAD_CONTEXT, run(vorn, h, "--version"));
            vorn.vorn_cleanup(h);
        }
        expect(0, run(vorn, live, "--version"));
        vorn.vorn_cleanup(live);
    }

    /**
     * A buffer encrypted to a key pair and decrypted again: the plaintext (with NUL bytes) goes in
     * as input, the message comes back in stdout_buffer; the message is decrypted from a file
     * with the key's passphrase as input.
     */
    static void encryptAndDecryptABuffer() throws Exception {
        Vorn vorn = new Vorn();
        int h = init(vorn);
        Run r = run(vorn, h, "--encrypt --userid nobody@example.org", bytes("probe"));
        if (r.rc == UNSUPPORTED) {
            skipped = "the engine refuses --encrypt as unsupported (" + r.err().trim() + ")";
            return;
        }
        r = run(vorn, h, "--key-gen --key-size 1024 --passphrase-fd 0 --userid 'Enc Test <enc@example.org>'",
                bytes("enc secret\n"));
        expect(0, r);
        byte[] plain = new byte[100000];
        new java.util.Random(11).nextBytes(plain);
        plain[0] = 0;
        plain[plain.length - 1] = 0;

        r = run(vorn, h, "--encrypt --userid enc@example.org", plain);
        expect(0, r);
        byte[] message = r.out;
        check(message.length > 0 && !Arrays.equals(message, plain), "no message: " + r);
        java.nio.file.Path file = Paths.get(System.getProperty("user.home"), "message.bin");
        Files.write(file, message);
        r = run(vorn, h, "--decrypt " + file + " --passphrase-fd 0", bytes("enc secret\n"));
        expect(0, r);
        check(Arrays.equals(plain, r.out), "the decrypted bytes differ from the plaintext");

        // Armoured, and decrypted by a second context: a wrong passphrase first.
        r = run(vorn, h, "--encrypt --userid enc@example.org --armor", plain);
        expect(0, r);
        check(r.out().startsWith("-----BEGIN "), r.toString());
        Files.write(file, r.out);
        int second = init(vorn);
        r = run(vorn, second, "--decrypt " + file + " --passphrase-fd 0", bytes("wrong\n"));
        expect(5, r);
        r = run(vorn, second, "--decrypt " + file + " --passphrase-fd 0", bytes("enc secret\n"));
        expect(0, r);
        check(Arrays.equals(plain, r.out), "the decrypted bytes differ from the plaintext");

        // A changed message right after: nothing of it, and nothing of the message before, is in
        // stdout_buffer (the fields are not reset between the two runs here).
        byte[] changed = Files.readAllBytes(file);
        changed[changed.length / 2] ^= 0x01;
        Files.write(file, changed);
        int rc = vorn.vorn_run(second, bytes("--decrypt " + file + " --passphrase-fd 0"), bytes("enc secret\n"));
        check(rc == 8, "a changed message gave " + rc);
        check(vorn.stdout_buffer != null && vorn.stdout_buffer.length == 0,
              "stdout_buffer after a failed decryption holds " + vorn.stdout_buffer.length + " bytes");
        check(text(vorn.stderr_buffer).startsWith("orxcmd: "), "stderr_buffer: " + text(vorn.stderr_buffer));
        Files.delete(file);
    }

    /** Joins the threads within the bound, and hands on the first failure of any of them. */
    static void joinAll(List<Thread> threads, AtomicReference<Throwable> failure) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(THREAD_WAIT_SECONDS);
        for (Thread t : threads) {
            t.join(Math.max(1, TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime())));
            check(!t.isAlive(), "a thread did not end within " + THREAD_WAIT_SECONDS + " s");
        }
        if (failure.get() != null) {
            throw new AssertionError("in a thread", failure.get());
        }
    }

    static void twoThreadsWithTheirOwnContexts() throws Exception {
        AtomicReference<Throwable> failure = new AtomicReference<>();
        CountDownLatch start = new CountDownLatch(2);
        List<Thread> threads = new ArrayList<>();
        String[] names = {"Bea Thread <bea@example.org>", "Cy Thread <cy@example.org>"};
        for (String name : names) {
            threads.add(new Thread(() -> {
                try {
                    Vorn vorn = new Vorn();
                    int h = init(vorn);
                    start.countDown();
                    start.await();
                    Run r = run(vorn, h, "--key-gen --key-size 1024 --passphrase-fd 0 --userid '" + name + "'",
                            bytes("pw\n"));
                    expect(0, r);
                    check(r.out().endsWith(name + " generated\n"), r.toString());
                    for (int i = 0; i < 5; i++) {
                        expect(0, run(vorn, h, "--key-list --with-colons"));
                    }
                    vorn.vorn_cleanup(h);
                } catch (Throwable t) {
                    failure.compareAndSet(null, t);
                }
            }));
        }
        threads.forEach(Thread::start);
        joinAll(threads, failure);
        Vorn vorn = new Vorn();
        int h = init(vorn);
        for (String name : names) {
            Run r = run(vorn, h, "--key-list '" + name + "' --with-colons");
            expect(0, r);
            check(r.out().startsWith("sec:"), r.toString());
        }
        vorn.vorn_cleanup(h);
    }

    /** A handle released while other threads run commands on it: they finish, then are refused. */
    static void cleanupWhileOtherThreadsRun() throws Exception {
        Vorn main = new Vorn();
        int h = init(main);
        AtomicReference<Throwable> failure = new AtomicReference<>();
        CountDownLatch running = new CountDownLatch(3);
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < 3; t++) {
            threads.add(new Thread(() -> {
                try {
                    Vorn vorn = new Vorn();
                    boolean counted = false;
                    for (int i = 0; i < 100000; i++) {
                        Run r = run(vorn, h, "--key-list --with-colons");
                        if (r.rc == BAD_CONTEXT) {
                            check(counted, "refused before the release");
                            return;
                        }
                        expect(0, r);
                        if (!counted) {
                            running.countDown();
                            counted = true;
                        }
                    }
                    throw new AssertionError("the released handle was never refused");
                } catch (Throwable e) {
                    failure.compareAndSet(null, e);
                    running.countDown();
                }
            }));
        }
        threads.forEach(Thread::start);
        check(running.await(THREAD_WAIT_SECONDS, TimeUnit.SECONDS), "threads did not start");
        main.vorn_cleanup(h);
        joinAll(threads, failure);
        expect(BAD_CONTEXT, run(main, h, "--version"));
        main.vorn_cleanup(h);
    }

    public static void main(String[] args) throws Exception {
        publicKeyFile = Files.readAllBytes(Paths.get(args[0]));
        test("output and error reach their fields; every run sets both", VornBridgeTest::outputAndFields);
        test("error strings", VornBridgeTest::errorStrings);
        test("encrypt and decrypt a buffer", VornBridgeTest::encryptAndDecryptABuffer);
        test("key commands with input and output buffers", VornBridgeTest::keyCommandsThroughBuffers);
        test("an empty input array is passed as no input", VornBridgeTest::emptyInputIsNoInput);
        test("command edges: null, empty, NUL byte, length bound, word bound", VornBridgeTest::commandEdges);
        test("input edges: large, over the bound", VornBridgeTest::inputEdges);
        test("unknown, freed and reused handles", VornBridgeTest::badHandles);
        test("two threads with their own contexts at once", VornBridgeTest::twoThreadsWithTheirOwnContexts);
        test("a handle released while other threads use it", VornBridgeTest::cleanupWhileOtherThreadsRun);
        System.out.println(failures == 0 ? "all passed" : failures + " failed");
        System.exit(failures == 0 ? 0 : 1);
    }
}
