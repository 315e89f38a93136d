#!/usr/bin/env python3
"""scripts/convert-whisper-model on a tiny synthetic CTranslate2 Whisper model, checked by reading its ggml."""

import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest

CONVERTER = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "convert-whisper-model")
D, HEADS, LAYERS, MELS, AUDIO_CTX, TEXT_CTX = 8, 2, 2, 4, 6, 5
# GPT-2's byte stand-ins: Ġ is a space, Ċ a newline, Ã© the two bytes of é; whisper has an empty token too
ORDINARY = {"a": b"a", "Ġhello": b" hello", "Ċ": b"\n", "Ã©": b"\xc3\xa9", "": b""}
VOCAB = [*ORDINARY, "<|endoftext|>", "<|startoftranscript|>", "<|en|>", "<|transcribe|>"]
# self-attention stacks q, k and v in linear_0; cross-attention stacks k and v in linear_1
BLOCKS = {"self_attention": [(3 * D, D), (D, D)], "ffn": [(4 * D, D), (D, 4 * D)]}


def values(seed, n):
    # multiples of 1/64 below 32 are exact in float16 and differ from tensor to tensor
    return [((seed * 131 + i) % 2048) / 64 for i in range(n)]


def tiny_model(drop=None):
    """CTranslate2's variables, name -> (shape, float16 values); the embedding is stored as the projection."""
    shapes = {"encoder/conv1/weight": (D, MELS, 3), "encoder/conv1/bias": (D,), "encoder/conv2/weight": (D, D, 3),
              "encoder/conv2/bias": (D,), "encoder/position_encodings/encodings": (AUDIO_CTX, D),
              "decoder/position_encodings/encodings": (TEXT_CTX, D), "decoder/projection/weight": (len(VOCAB), D)}
    for stack, blocks in (("encoder", BLOCKS), ("decoder", BLOCKS | {"attention": [(D, D), (2 * D, D), (D, D)]})):
        shapes |= {f"{stack}/layer_norm/gamma": (D,), f"{stack}/layer_norm/beta": (D,)}
        for p, linears in ((f"{stack}/layer_{i}/{b}", ls) for i in range(LAYERS) for b, ls in blocks.items()):
            shapes |= {f"{p}/layer_norm/gamma": (D,), f"{p}/layer_norm/beta": (D,)}
            for j, (rows, cols) in enumerate(linears):
                shapes |= {f"{p}/linear_{j}/weight": (rows, cols), f"{p}/linear_{j}/bias": (rows,)}
    shapes.pop(drop, None)
    return {name: (shape, values(k, math.prod(shape))) for k, (name, shape) in enumerate(sorted(shapes.items()))}


def ct2_bytes(model):
    def string(s):
        return struct.pack("<H", len(s) + 1) + s.encode() + b"\0"
    out = struct.pack("<I", 6) + string("WhisperSpec") + struct.pack("<II", 3, len(model) + 2)
    for name, heads in (("encoder/num_heads", HEADS), ("decoder/num_heads", HEADS)):
        out += string(name) + struct.pack("<BBIh", 0, 2, 2, heads)
    for name, (shape, vals) in model.items():
        out += string(name) + struct.pack(f"<B{len(shape)}IBI", len(shape), *shape, 4, 2 * len(vals))
        out += struct.pack(f"<{len(vals)}e", *vals)
    return out + struct.pack("<I", 1) + string("decoder/embeddings/weight") + string("decoder/projection/weight")


def read_ggml(path):
    """hparams, (n_mel, n_fft, filters), token bytes, {name: (ftype, shape outermost first, values)}."""
    with open(path, "rb") as f:
        buf = f.read()
    pos = 0

    def take(fmt):
        nonlocal pos
        pos += struct.calcsize("<" + fmt)
        return struct.unpack_from("<" + fmt, buf, pos - struct.calcsize("<" + fmt))
    magic, *hparams = take("I11i")
    assert magic == 0x67676D6C
    n_mel, n_fft = take("2i")
    filters = (n_mel, n_fft, take(f"{n_mel * n_fft}f"))
    tokens = [take(f"{take('i')[0]}s")[0] for _ in range(take("i")[0])]
    tensors = {}
    while pos < len(buf):
        rank, length, ftype = take("3i")
        shape = take(f"{rank}i")[::-1]
        name = take(f"{length}s")[0].decode()
        tensors[name] = (ftype, shape, take(f"{math.prod(shape)}{'ef'[ftype == 0]}"))
    return hparams, filters, tokens, tensors


class ConvertTest(unittest.TestCase):
    def convert(self, model_bytes, vocab=VOCAB):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        for name, data in (("model.bin", model_bytes), ("vocabulary.txt", "".join(t + "\n" for t in vocab).encode()),
                           ("config.json", json.dumps({"lang_ids": [VOCAB.index("<|en|>")]}).encode())):
            with open(os.path.join(tmp.name, name), "wb") as f:
                f.write(data)
        out = os.path.join(tmp.name, "out", "ggml.bin")
        os.mkdir(os.path.dirname(out))
        run = subprocess.run([sys.executable, CONVERTER, tmp.name, out], capture_output=True, text=True)
        return run, out

    def test_converts_a_tiny_model(self):
        model = tiny_model()
        run, out = self.convert(ct2_bytes(model))
        self.assertEqual(run.returncode, 0, run.stderr)
        hparams, (n_mel, n_fft, filters), tokens, tensors = read_ggml(out)
        self.assertEqual(hparams, [len(VOCAB), AUDIO_CTX, D, HEADS, LAYERS, TEXT_CTX, D, HEADS, LAYERS, MELS, 1])
        self.assertEqual(tokens, list(ORDINARY.values()))

        # Slaney-normalised triangles of unit area over 40 Hz bins, peaks as librosa 0.11 computes them
        self.assertEqual((n_mel, n_fft), (MELS, 201))
        rows = [filters[i * n_fft:(i + 1) * n_fft] for i in range(n_mel)]
        for row in rows:
            self.assertAlmostEqual(sum(row) * 40, 1.0, delta=1e-3)
        self.assertEqual([(row.index(max(row)), max(row)) for row in rows],
                         [(15, 0.0016075201565399766), (31, 0.0011722970521077514),
                          (58, 0.0006493707187473774), (108, 0.00034876386052928865)])

        self.assertEqual(len(tensors), 7 + 15 * LAYERS + 4 + 24 * LAYERS)
        self.assertEqual([tensors[n][:2] for n in ("encoder.conv1.weight", "encoder.conv2.bias")],
                         [(1, (D, MELS, 3)), (0, (D, 1))])
        for name, (ftype, shape, _) in tensors.items():
            f32 = len(shape) == 1 or "positional" in name or ("conv" in name and "bias" in name)
            self.assertEqual(ftype, 0 if f32 else 1, name)

        def src(name, lo=0, hi=None):
            return model[name][1][lo:hi]
        self_attn, cross, ffn = "decoder/layer_1/self_attention", "decoder/layer_1/attention", "encoder/layer_1/ffn"
        for ggml, expected in {
            "decoder.token_embedding.weight": src("decoder/projection/weight"),
            "decoder.positional_embedding": src("decoder/position_encodings/encodings"),
            "decoder.blocks.1.attn.query.weight": src(f"{self_attn}/linear_0/weight", 0, D * D),
            "decoder.blocks.1.attn.key.weight": src(f"{self_attn}/linear_0/weight", D * D, 2 * D * D),
            "decoder.blocks.1.attn.value.weight": src(f"{self_attn}/linear_0/weight", 2 * D * D),
            "decoder.blocks.1.attn.query.bias": src(f"{self_attn}/linear_0/bias", 0, D),
            "decoder.blocks.1.attn.value.bias": src(f"{self_attn}/linear_0/bias", 2 * D),
            "decoder.blocks.1.attn.out.weight": src(f"{self_attn}/linear_1/weight"),
            "decoder.blocks.1.cross_attn.query.weight": src(f"{cross}/linear_0/weight"),
            "decoder.blocks.1.cross_attn.key.weight": src(f"{cross}/linear_1/weight", 0, D * D),
            "decoder.blocks.1.cross_attn.value.weight": src(f"{cross}/linear_1/weight", D * D),
            "decoder.blocks.1.cross_attn.value.bias": src(f"{cross}/linear_1/bias", D),
            "decoder.blocks.1.cross_attn.out.bias": src(f"{cross}/linear_2/bias"),
            "decoder.blocks.1.cross_attn_ln.weight": src(f"{cross}/layer_norm/gamma"),
            "encoder.blocks.1.mlp.2.weight": src(f"{ffn}/linear_1/weight"),
            "encoder.blocks.1.mlp_ln.bias": src(f"{ffn}/layer_norm/beta"),
            "encoder.ln_post.weight": src("encoder/layer_norm/gamma"),
        }.items():
            self.assertEqual(list(tensors[ggml][2]), expected, ggml)
        self.assertNotIn("decoder.blocks.1.attn.key.bias", tensors)

    def test_refuses_damaged_input_and_writes_nothing(self):
        good = ct2_bytes(tiny_model())
        missing = "decoder/layer_1/attention/linear_1/weight"
        for case, model, vocab, message in (
                ("bad magic", b"ggml" + good[4:], VOCAB, "not a CTranslate2 model of binary version 6"),
                ("truncated mid-tensor", good[:len(good) // 2], VOCAB, "truncated or damaged: data of"),
                ("missing tensor", ct2_bytes(tiny_model(drop=missing)), VOCAB, f"{missing} is missing"),
                ("short vocabulary", good, VOCAB[:-1], "has 8 tokens; the model's embedding has 9")):
            with self.subTest(case):
                run, out = self.convert(model, vocab)
                self.assertEqual(run.returncode, 1)
                self.assertIn(message, run.stderr)
                self.assertNotIn("Traceback", run.stderr)
                self.assertEqual(os.listdir(os.path.dirname(out)), [])


if __name__ == "__main__":
    unittest.main()
