package com.brevan.orx;

/**
 * Runs commands of the command engine (the commands of orxcmd) from Java.
 *
 * <p>{@link #vorn_init} gives a context handle (0 when no context can be made); {@link #vorn_run}
 * runs one command text, without the program name, with an optional input that is the command's
 * standard input and descriptor 0 of {@code --passphrase-fd}. The command's standard output and
 * standard error are stored in {@link #stdout_buffer} and {@link #stderr_buffer}; a field is set
 * only when there was such output, otherwise it keeps its previous value. The result is the exit
 * code of orxcmd (13: the handle is not live).
 *
 * <p>Contexts are independent: threads may run commands at the same time, each with its own
 * {@code Vorn} object (the two fields belong to the object). A handle stays valid until
 * {@link #vorn_cleanup}; after that it is refused, also when a later context took its place.
 */
public class Vorn {
    static {
        System.loadLibrary("ORXAPIJava");
    }

    /** The standard output of the last run that wrote some. */
    public byte[] stdout_buffer;
    /** The standard error of the last run that wrote some. */
    public byte[] stderr_buffer;

    /** A new engine context; 0 when none can be made. */
    public native int vorn_init();

    /** Releases the context; an unknown or already released handle is ignored. */
    public native void vorn_cleanup(int context);

    /** The text of a result code, or null when the handle is not live. */
    public native byte[] vorn_error_string(int context, int code);

    /** Runs the command text with the input (null or empty: no input); returns the result. */
    public native int vorn_run(int context, byte[] command, byte[] input);
}
