"""The list of hardening tests: each module registers its cases with @test."""

from __future__ import annotations

from typing import Callable, List, Tuple

TESTS: List[Tuple[str, Callable]] = []


def test(name: str):
    def register(function: Callable) -> Callable:
        TESTS.append((name, function))
        return function
    return register
