#!/usr/bin/python3
"""Reference outputs of a small random Whisper checkpoint, computed straight from the
published architecture in float64 NumPy, independently of the C++ runtime.

Regenerate (from the repository root, after building the tests):

    build/bin/make-whisper-checkpoint /tmp/whisper-ref-checkpoint
    /usr/bin/python3 tests/Fixtures/whisper-reference/make_reference.py \
        /tmp/whisper-ref-checkpoint ../shared/reference/mel_filters.npz \
        tests/Fixtures/whisper-reference

Inputs: the generated checkpoint (HF layout, model.safetensors) and OpenAI's published
mel filterbank. The signal and the decoder tokens are fixed below and repeated in the C++
test. Outputs are small slices and summaries, so the fixtures stay small:

  mel_frames.npy        log-mel [n_mels, 160] (frames 0..159, the part with sound)
  mel_summary.npy       [max, min, mean] of the whole [n_mels, 3000] log-mel
  encoder_columns.npy   encoder output [d_model, 100] at positions 0, 15, 30, ...
  encoder_summary.npy   [mean, mean of squares] of the whole encoder output
  tokens.npy            the decoder tokens fed, one per step
  logit_ids.npy         token ids whose logits are kept (every 97th id and the specials)
  logits_subset.npy     logits [steps, len(logit_ids)]
  logits_top.npy        the 5 largest logits' ids per step [steps, 5]
  logits_logsumexp.npy  log-sum-exp of each step's full logits [steps]
  alignment_columns.npy alignment-head cross-attention weights, averaged over heads,
                        [steps, 100] at positions 0, 15, 30, ...
"""
import json
import sys

import numpy as np

N_SAMPLES = 480000
N_FFT = 400
HOP = 160
TOKENS = [50258, 50259, 50359, 50363, 220, 1000]
COLUMNS = slice(0, 1500, 15)


def signal():
    n = np.arange(N_SAMPLES, dtype=np.float64)
    x = 0.3 * np.sin(2 * np.pi * 440 * n / 16000) + 0.1 * np.sin(2 * np.pi * 1234 * n / 16000)
    x[24000:] = 0
    return x.astype(np.float32).astype(np.float64)


def read_safetensors(path):
    data = open(path, "rb").read()
    n = int.from_bytes(data[:8], "little")
    header = json.loads(data[8:8 + n])
    body = data[8 + n:]
    types = {"F32": np.float32, "F16": np.float16}
    tensors = {}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        begin, end = entry["data_offsets"]
        array = np.frombuffer(body[begin:end], dtype=types[entry["dtype"]]).reshape(entry["shape"])
        tensors[name] = array.astype(np.float64)
    return tensors


def log_mel(x, filters):
    padded = np.pad(x, N_FFT // 2, mode="reflect")
    window = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(N_FFT) / N_FFT)
    frames = 1 + (len(padded) - N_FFT) // HOP
    stft = np.stack([np.fft.rfft(padded[t * HOP:t * HOP + N_FFT] * window) for t in range(frames)], axis=1)
    power = np.abs(stft[:, :-1]) ** 2
    mel = filters @ power
    log_spec = np.log10(np.maximum(mel, 1e-10))
    log_spec = np.maximum(log_spec, log_spec.max() - 8.0)
    return (log_spec + 4.0) / 4.0


def gelu(x):
    from math import erf
    return 0.5 * x * (1.0 + np.vectorize(erf)(x / np.sqrt(2.0)))


def layer_norm(x, w, b):
    mean = x.mean(axis=-1, keepdims=True)
    var = ((x - mean) ** 2).mean(axis=-1, keepdims=True)
    return (x - mean) / np.sqrt(var + 1e-5) * w + b


def conv1d(x, w, b, stride):
    # x [in, T], w [out, in, 3], padding 1
    xp = np.pad(x, ((0, 0), (1, 1)))
    t_out = (x.shape[1] + 2 - 3) // stride + 1
    out = np.zeros((w.shape[0], t_out))
    for k in range(3):
        out += w[:, :, k] @ xp[:, k:k + stride * (t_out - 1) + 1:stride]
    return out + b[:, None]


def attention(x, source, p, prefix, heads, causal):
    q = x @ p[prefix + "q_proj.weight"].T + p[prefix + "q_proj.bias"]
    k = source @ p[prefix + "k_proj.weight"].T
    v = source @ p[prefix + "v_proj.weight"].T + p[prefix + "v_proj.bias"]
    n, d = q.shape
    dh = d // heads
    out = np.zeros_like(q)
    weights = []
    for h in range(heads):
        cols = slice(h * dh, (h + 1) * dh)
        scores = q[:, cols] @ k[:, cols].T / np.sqrt(dh)
        if causal:
            scores = scores + np.triu(np.full((n, n), -np.inf), 1)
        scores = scores - scores.max(axis=-1, keepdims=True)
        probs = np.exp(scores)
        probs /= probs.sum(axis=-1, keepdims=True)
        weights.append(probs)
        out[:, cols] = probs @ v[:, cols]
    return out @ p[prefix + "out_proj.weight"].T + p[prefix + "out_proj.bias"], weights


def encoder(mel, p, config):
    heads = config["encoder_attention_heads"]
    x = gelu(conv1d(mel, p["model.encoder.conv1.weight"], p["model.encoder.conv1.bias"], 1))
    x = gelu(conv1d(x, p["model.encoder.conv2.weight"], p["model.encoder.conv2.bias"], 2))
    x = x.T + p["model.encoder.embed_positions.weight"]
    for i in range(config["encoder_layers"]):
        pre = "model.encoder.layers.%d." % i
        h = layer_norm(x, p[pre + "self_attn_layer_norm.weight"], p[pre + "self_attn_layer_norm.bias"])
        x = x + attention(h, h, p, pre + "self_attn.", heads, False)[0]
        h = layer_norm(x, p[pre + "final_layer_norm.weight"], p[pre + "final_layer_norm.bias"])
        x = x + gelu(h @ p[pre + "fc1.weight"].T + p[pre + "fc1.bias"]) @ p[pre + "fc2.weight"].T + p[pre + "fc2.bias"]
    return layer_norm(x, p["model.encoder.layer_norm.weight"], p["model.encoder.layer_norm.bias"])


def decoder(tokens, audio, p, config, alignment_heads):
    heads = config["decoder_attention_heads"]
    x = p["model.decoder.embed_tokens.weight"][tokens] + p["model.decoder.embed_positions.weight"][:len(tokens)]
    alignment = np.zeros((len(tokens), audio.shape[0]))
    for i in range(config["decoder_layers"]):
        pre = "model.decoder.layers.%d." % i
        h = layer_norm(x, p[pre + "self_attn_layer_norm.weight"], p[pre + "self_attn_layer_norm.bias"])
        x = x + attention(h, h, p, pre + "self_attn.", heads, True)[0]
        h = layer_norm(x, p[pre + "encoder_attn_layer_norm.weight"], p[pre + "encoder_attn_layer_norm.bias"])
        out, weights = attention(h, audio, p, pre + "encoder_attn.", heads, False)
        x = x + out
        for layer, head in alignment_heads:
            if layer == i:
                alignment += weights[head] / len(alignment_heads)
        h = layer_norm(x, p[pre + "final_layer_norm.weight"], p[pre + "final_layer_norm.bias"])
        x = x + gelu(h @ p[pre + "fc1.weight"].T + p[pre + "fc1.bias"]) @ p[pre + "fc2.weight"].T + p[pre + "fc2.bias"]
    x = layer_norm(x, p["model.decoder.layer_norm.weight"], p["model.decoder.layer_norm.bias"])
    return x @ p["model.decoder.embed_tokens.weight"].T, alignment


def main():
    checkpoint, filters_path, out = sys.argv[1:4]
    config = json.load(open(checkpoint + "/config.json"))
    alignment_heads = json.load(open(checkpoint + "/generation_config.json"))["alignment_heads"]
    p = read_safetensors(checkpoint + "/model.safetensors")
    filters = np.load(filters_path)["mel_%d" % config["num_mel_bins"]].astype(np.float64)

    mel = log_mel(signal(), filters)
    audio = encoder(mel, p, config)
    logits, alignment = decoder(np.array(TOKENS), audio, p, config, alignment_heads)

    vocab = config["vocab_size"]
    ids = np.unique(np.concatenate([np.arange(0, vocab, 97), np.arange(50257, 50365)]))
    top = np.argsort(-logits, axis=1)[:, :5]
    gaps = logits[np.arange(len(TOKENS)), top[:, 0]] - logits[np.arange(len(TOKENS)), top[:, 1]]
    print("top-1 margin per step:", np.round(gaps, 4))
    lse = logits.max(axis=1) + np.log(np.exp(logits - logits.max(axis=1, keepdims=True)).sum(axis=1))

    save = lambda name, value, dtype=np.float32: np.save(out + "/" + name, np.ascontiguousarray(value, dtype=dtype))
    save("mel_frames.npy", mel[:, :160])
    save("mel_summary.npy", [mel.max(), mel.min(), mel.mean()])
    save("encoder_columns.npy", audio.T[:, COLUMNS])
    save("encoder_summary.npy", [audio.mean(), (audio ** 2).mean()])
    save("tokens.npy", TOKENS, np.int32)
    save("logit_ids.npy", ids, np.int32)
    save("logits_subset.npy", logits[:, ids])
    save("logits_top.npy", top, np.int32)
    save("logits_logsumexp.npy", lse)
    save("alignment_columns.npy", alignment[:, COLUMNS])


if __name__ == "__main__":
    main()
