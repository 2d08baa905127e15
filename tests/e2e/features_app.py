"""The application behind the end-to-end tests of static files, CORS,
middleware and limits (folder from $VELMORA_E2E_STATIC)."""

from __future__ import annotations

import os

from velmora import Application, text

app = Application()
app.serve_files(os.environ["VELMORA_E2E_STATIC"], prefix="/static")
app.use_cors(allow_origins=["https://app.example"], allow_methods=["GET", "POST"], allow_headers=["x-token"], max_age=60)
app.limits.max_path_length = 200
app.limits.max_header_count = 40


@app.middleware
async def stamp(request, handler):
    response = await handler(request)
    response.add_header(b"x-stamp", b"1")
    return response


@app.router.post("/items")
async def items(request):
    return text("created", status=201)
