using System;
using System.Collections.Generic;

namespace Kestrova.SqliteReader.Tests
{
    // Named cases in the order they are written: { "name", Action }.
    internal sealed class TestCases : List<KeyValuePair<string, Action>>
    {
        internal void Add(string name, Action test)
        {
            Add(new KeyValuePair<string, Action>(name, test));
        }
    }

    // A runner small enough to read: named cases, each an action that throws
    // on failure; prints one line per case and exits non-zero on any failure.
    internal static class TestRunner
    {
        internal static int Run(IEnumerable<KeyValuePair<string, Action>> cases)
        {
            int failed = 0, run = 0;
            foreach (var c in cases)
            {
                run++;
                try
                {
                    c.Value();
                    Console.WriteLine("ok   " + c.Key);
                }
                catch (Exception e)
                {
                    failed++;
                    Console.WriteLine("FAIL " + c.Key + ": " + e);
                }
            }
            Console.WriteLine("{0} run, {1} failed", run, failed);
            return failed == 0 ? 0 : 1;
        }
    }

    internal sealed class AssertionException : Exception
    {
        internal AssertionException(string message) : base(message) { }
    }

    internal static class Assert
    {
        internal static void Equal<T>(T expected, T actual, string what = "")
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                throw new AssertionException(what + " expected <" + expected + "> but was <" + actual + ">");
        }

        internal static void True(bool condition, string what)
        {
            if (!condition) throw new AssertionException(what);
        }

        // Runs `action`, which must throw TException; returns the exception.
        internal static TException Throws<TException>(Action action, string what = "") where TException : Exception
        {
            try
            {
                action();
            }
            catch (TException e)
            {
                return e;
            }
            catch (Exception e)
            {
                throw new AssertionException(what + " threw " + e.GetType().Name + " (" + e.Message
                                             + "), not " + typeof(TException).Name);
            }
            throw new AssertionException(what + " threw nothing, expected " + typeof(TException).Name);
        }

        // `action` throws SqlrException whose message starts with `message`.
        internal static void LibraryError(string message, Action action)
        {
            var e = Throws<SqlrException>(action, message);
            if (!e.Message.StartsWith(message, StringComparison.Ordinal))
                throw new AssertionException("message <" + e.Message + "> does not start with <" + message + ">");
        }
    }
}
