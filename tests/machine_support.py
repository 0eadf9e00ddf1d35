"""What the end-to-end tests of a simulated machine share: waiting for a condition, a free
port, and the machine process's id from its answer to a ping on its socket."""
import os
import socket
import struct
import time


def wait_for(predicate, seconds=20.0, step=0.05):
    """The predicate's first true value within the time, else its last value."""
    until = time.time() + seconds
    while time.time() < until:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def machine_pid(machine):
    """The machine process's id, from its answer to a ping; None when none answers."""
    try:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(5)
        s.connect(os.path.join(machine, "machine.sock"))
        s.sendall(struct.pack("<II", 4, 2))
        reply = s.recv(64)
        s.close()
        return struct.unpack("<IIII", reply[:16])[3]
    except (OSError, struct.error):
        return None


def free_port(address="127.0.0.1"):
    """A TCP port free on the address now."""
    s = socket.socket()
    s.bind((address, 0))
    port = s.getsockname()[1]
    s.close()
    return port
