#!/usr/bin/env python3
"""Generate realistic workloads in the tensor language, for benchmarks and end-to-end tests.

Two shapes of workload:
  model  a decoder-style model: main -> loop over a block function (attention with a kv cache,
         an mlp called with a weight record), with configuration parameters and a TOML file that
         configures shapes and names every weight. Size grows with --layers (unroll count) and
         --blocks (distinct block functions called in sequence by main).
  wide   many independent functions with many statements of every kind, for parser, printer,
         JSON and checker throughput. Size grows with --functions and --ops.

Usage:
  gen_workload.py model --layers 32 --blocks 4 --out DIR      -> DIR/model.qrv, DIR/model.toml
  gen_workload.py wide --functions 2000 --ops 60 --out DIR    -> DIR/wide.qrv
Output is deterministic for the same arguments.
"""
import argparse
import os
import random


def block_fn(name, mlp, init, extend):
    return f"""// {name}: one decoder layer
{name}(x: f32[b, s, d], w: *) -> (y: f32[b, s, d]) {{
  // attention
  n1: f32[b, s, d] = map[rmsnorm](x, w.norm1)
  q : f32[b, s, d] = contract["b s d, d e -> b s e"](n1, w.wq)
  k : f32[b, s, d] = contract["b s d, d e -> b s e"](n1, w.wk)
  v : f32[b, s, d] = contract["b s d, d e -> b s e"](n1, w.wv)
  qh: f32[b, s, 8, param.hd] = view["b s (h e) -> b s h e"](q, h=8)
  kc: f32[b, s, d] = cache[kv.*, {init}, {extend}](k)
  kh: f32[b, s, 8, param.hd] = view["b s (h e) -> b s h e"](kc)
  sc: f32[b, 8, s, s] = contract["b s h e, b t h e -> b h s t"](qh, kh)
  mx: f32[b, 8, s] = fold["b h s t -> b h s", max](sc)
  pm: f32[b, 8, s, s] = tile["b h s -> b h s t"](mx)
  ex: f32[b, 8, s, s] = map[sub](sc, pm)
  pr: f32[b, 8, s, s] = map[exp](ex)
  vh: f32[b, s, 8, param.hd] = view["b s (h e) -> b s h e"](v)
  at: f32[b, s, 8, param.hd] = contract["b h s t, b t h e -> b s h e"](pr, vh)
  ao: f32[b, s, d] = view["b s h e -> b s (h e)"](at)
  o : f32[b, s, d] = contract["b s d, d e -> b s e"](ao, w.wo)
  r1: f32[b, s, d] = map[add](x, o)

  // feed-forward, weights passed as one record
  n2: f32[b, s, d] = map[rmsnorm](r1, w.norm2)
  f : f32[b, s, d] = call[{mlp}](n2, w.mlp)
  y : f32[b, s, d] = map[add](r1, f)
}}
"""


def mlp_fn(name):
    return f"""{name}(x: f32[b, s, d], up: f32[d, param.ff], gate: f32[d, param.ff], down: f32[param.ff, d]) -> (y: f32[b, s, d]) {{
  u: f32[b, s, param.ff] = contract["b s d, d f -> b s f"](x, up)
  g: f32[b, s, param.ff] = contract["b s d, d f -> b s f"](x, gate)
  a: f32[b, s, param.ff] = map[silu](g)
  m: f32[b, s, param.ff] = map[mul](u, a)
  y: f32[b, s, d] = contract["b s f, f d -> b s d"](m, down)
}}
"""


CACHE_FNS = """kv_init(k: f32[b, s, d]) -> (c: f32[b, s, d]) {
  c: f32[b, s, d] = map[copy](k)
}

kv_append(c: f32[b, t, d], k: f32[b, s, d]) -> (n: f32[b, t, d]) {
  n: f32[b, t, d] = map[concat](c, k)
}
"""


def model(layers, blocks):
    parts = ["// decoder model, generated", "// shapes and weights come from the TOML file", ""]
    dims = "param.batch, param.seq, param.d"
    body = [f"main(tokens: i32[param.batch, param.seq], weights: *) -> (logits: f32[param.batch, param.seq, param.vocab]) {{",
            f"  h0: f32[{dims}] = read[\"v d, b s -> b s d\"](weights.embed, tokens)"]
    # A loop threads the value named like its output; each stack gets its own name, since
    # after a loop its output name refers to the last iteration's value.
    for i in range(blocks):
        if i:
            body.append(f"  h{i}: f32[{dims}] = map[copy](h{i - 1})")
        body.append(f"  h{i}: f32[{dims}] = loop[block{i}, param.layers](h{i}, weights.stack{i}.*)")
    body += [f"  n: f32[{dims}] = map[rmsnorm](h{blocks - 1}, weights.norm)",
             f"  logits: f32[param.batch, param.seq, param.vocab] = contract[\"b s d, d v -> b s v\"](n, weights.head)",
             "}", ""]
    parts += body
    for i in range(blocks):
        parts.append(block_fn(f"block{i}", "mlp", "kv_init", "kv_append"))
    parts.append(mlp_fn("mlp"))
    parts.append(CACHE_FNS)
    src = "\n".join(parts)
    toml = [
        "[shape]", "batch = 2", "seq = 128", "d = 512", "hd = 64", "ff = 1376", "vocab = 32000", "",
        "[scalar]", f"layers = {layers}", "eps = 1e-5", "",
        "[weights]", 'embed = "tok_embeddings.weight"', 'norm = "norm.weight"', 'head = "output.weight"', "",
    ]
    for i in range(blocks):
        toml += [f"[weights.stack{i}]",
                 f'norm1 = "stack{i}.layers.{{}}.attention_norm.weight"',
                 f'norm2 = "stack{i}.layers.{{}}.ffn_norm.weight"',
                 f'wq = "stack{i}.layers.{{}}.attention.wq.weight"',
                 f'wk = "stack{i}.layers.{{}}.attention.wk.weight"',
                 f'wv = "stack{i}.layers.{{}}.attention.wv.weight"',
                 f'wo = "stack{i}.layers.{{}}.attention.wo.weight"', "",
                 f"[weights.stack{i}.mlp]",
                 f'up = "stack{i}.layers.{{}}.feed_forward.w3.weight"',
                 f'gate = "stack{i}.layers.{{}}.feed_forward.w1.weight"',
                 f'down = "stack{i}.layers.{{}}.feed_forward.w2.weight"', ""]
    return src, "\n".join(toml)


def wide(functions, ops, seed=7):
    rnd = random.Random(seed)
    lines = ["// wide workload, generated", ""]
    for f in range(functions):
        lines.append(f"f{f}(x: f32[param.n, {rnd.randint(1, 512)}], w: *, k: i64[param.n]) -> (y{ops - 1}: f32[param.n, 64]) {{")
        lines.append(f"  // function {f}")
        prev = "x"
        for i in range(ops):
            out = f"y{i}"
            kind = i % 9
            if kind == 0:
                rhs = f"map[relu]({prev})"
            elif kind == 1:
                rhs = f"contract[\"n a, a b -> n b\"]({prev}, w.l{i}.proj)"
            elif kind == 2:
                rhs = f"view[\"n (a b) -> n a b\"]({prev}, a={rnd.randint(1, 16)})"
            elif kind == 3:
                rhs = f"fold[\"n a b -> n a\", sum]({prev})"
            elif kind == 4:
                rhs = f"tile[\"n a -> n a c\"]({prev})"
            elif kind == 5:
                rhs = f"read[\"n a, n -> n a\"]({prev}, k)"
            elif kind == 6:
                rhs = f"literal([{rnd.randint(-9, 9)}, {rnd.random():.6f}, [1e-7, inf]])"
            elif kind == 7:
                rhs = f"random[{rnd.random():.3f}, {1 + rnd.random():.3f}]"
            else:
                rhs = f"map[add]({prev}, y{max(i - 2, 0)})"
            if i and i % 12 == 0:
                lines.append(f"  // step {i}")
            lines.append(f"  {out}: f32[param.n, 64] = {rhs}")
            prev = out
        lines.append("}")
        lines.append("")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    m = sub.add_parser("model")
    m.add_argument("--layers", type=int, default=32)
    m.add_argument("--blocks", type=int, default=1)
    m.add_argument("--out", required=True)
    w = sub.add_parser("wide")
    w.add_argument("--functions", type=int, default=2000)
    w.add_argument("--ops", type=int, default=60)
    w.add_argument("--out", required=True)
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    if a.cmd == "model":
        src, toml = model(a.layers, a.blocks)
        with open(os.path.join(a.out, "model.qrv"), "w") as fh:
            fh.write(src)
        with open(os.path.join(a.out, "model.toml"), "w") as fh:
            fh.write(toml)
    else:
        with open(os.path.join(a.out, "wide.qrv"), "w") as fh:
            fh.write(wide(a.functions, a.ops))


if __name__ == "__main__":
    main()
