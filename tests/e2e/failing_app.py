"""An application whose lifespan setup fails: the server must not start."""

from __future__ import annotations

import contextlib

from velmora import Application


@contextlib.asynccontextmanager
async def lifespan(app):
    raise RuntimeError("the database is unreachable")
    yield


app = Application(lifespan=lifespan)
