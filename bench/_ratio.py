"""Shared timing helper: best-of-rounds per-call time, ours and a peer interleaved."""
import time


def per_call(fn, number):
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def calibrate(fn, target=0.02):
    number = 1
    while per_call(fn, number) * number < target:
        number *= 2
    return number


def compare(ours, peer, rounds=15):
    """Returns (ours_seconds, peer_seconds), each the best of `rounds` interleaved runs."""
    n_ours, n_peer = calibrate(ours), calibrate(peer)
    best_ours = best_peer = float("inf")
    for _ in range(rounds):
        best_ours = min(best_ours, per_call(ours, n_ours))
        best_peer = min(best_peer, per_call(peer, n_peer))
    return best_ours, best_peer


def report(rows):
    """rows: (name, ours_s, peer_name, peer_s, goal_text, ratio, ok)."""
    width = max(len(r[0]) for r in rows)
    for name, ours, peer_name, peer, goal, ratio, ok in rows:
        print(
            f"{name:<{width}}  {ours * 1e6:9.2f} us  vs {peer_name:<34} {peer * 1e6:9.2f} us"
            f"  ratio {ratio:5.2f}x  goal {goal:<8} {'met' if ok else 'MISSED'}"
        )
