"""A program that is interrupted again and again, at whatever point a timed signal finds it.

Each round works (calls, nested try/except/finally, a with block, a generator, an exception
whose text is made by Python code) until a timed SIGINT or a SIGALRM whose handler raises
arrives, and prints which of its handlers caught the interruption and whether every
generator's finally block ran.
Every line it prints is the same however the work was cut short, so a run under a profiler
must print exactly what a run without it prints.

    python interrupted_program.py ROUNDS SEED
"""

import os
import random
import signal
import sys
import threading


class Alarm(Exception):
    pass


class Problem(ValueError):
    def __str__(self):
        return f"problem with {self.args[0]}"


def on_alarm(signum, frame):
    raise Alarm()


class Guard:
    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        return False


class Numbers:
    """Counts the generators started and the ones whose finally block ran."""
    started = finished = 0


def numbers(count):
    Numbers.started += 1
    try:
        for i in range(count):
            yield square(i)
    finally:
        Numbers.finished += 1


def square(x):
    try:
        return x * x
    except TypeError:
        return 0


def checked(x):
    if x % 7 == 0:
        raise Problem(x)
    return x


def work():
    total = 0
    with Guard():
        for value in numbers(40):
            try:
                total += checked(value)
            except ValueError as problem:
                total += len(str(problem))
            finally:
                total += 1
    return total


stop = False  # never set


def start_timer(kind, delay):
    if kind == "alarm":
        signal.setitimer(signal.ITIMER_REAL, delay)
        return None
    timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


def one_round(kind, delay):
    # A loop with no condition: on 3.13 the backward jump of a loop whose
    # condition is tested at its end lies outside the try's handlers, and the
    # interpreter checks for signals there, so that even without a profiler an
    # interruption could skip them.
    timer = None
    caught = "nothing"
    try:
        try:
            timer = start_timer(kind, delay)
            while True:
                if stop:
                    break
                work()
            caught = "the loop ended"
        except Alarm:
            caught = "Alarm"
    except KeyboardInterrupt:
        caught = "KeyboardInterrupt"
    signal.setitimer(signal.ITIMER_REAL, 0)
    if timer is not None:
        timer.join()
    return caught


def main(rounds, seed):
    signal.signal(signal.SIGALRM, on_alarm)
    chance = random.Random(seed)
    for number in range(rounds):
        kind = chance.choice(["int", "alarm"])
        caught = one_round(kind, chance.uniform(0.005, 0.06))
        expected = "KeyboardInterrupt" if kind == "int" else "Alarm"
        print(f"round {number}: {kind} caught as {caught}"
              + ("" if caught == expected else " (WRONG HANDLER)"))
        # A generator's finally block runs when the interruption passes through it or when
        # the last reference to it goes, which is before this line without a profiler.
        print(f"  generators started {Numbers.started - Numbers.finished} more than finished")
        Numbers.started = Numbers.finished = 0
    print("done")


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
