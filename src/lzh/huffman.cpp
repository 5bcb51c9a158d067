#include "huffman.h"

#include <string.h>

#include "format.h"

// An optimal code whose deepest levels are folded up by the Kraft sum,
// shortest lengths to the most frequent symbols.
int lzh_code_lengths(const uint32_t *freq, int n, unsigned char *len)
{
    // A heap of nodes by weight; leaves 0..n-1, inner nodes from n.
    uint64_t weight[2 * LZH_NC];
    int parent[2 * LZH_NC], heap[2 * LZH_NC];
    int used = 0, size = 0;
    memset(len, 0, (size_t)n);
    for (int i = 0; i < n; i++)
        if (freq[i] > 0)
            used++;
    if (used < 2)
        return used;

    // Ties broken by node number: the same input gives the same code.
    auto less = [&](int a, int b) {
        return weight[a] < weight[b] || (weight[a] == weight[b] && a < b);
    };
    auto push = [&](int v) {
        int i = size++;
        while (i > 0 && less(v, heap[(i - 1) / 2])) {
            heap[i] = heap[(i - 1) / 2];
            i = (i - 1) / 2;
        }
        heap[i] = v;
    };
    auto pop = [&]() {
        int top = heap[0], last = heap[--size], i = 0;
        for (;;) {
            int c = 2 * i + 1;
            if (c >= size)
                break;
            if (c + 1 < size && less(heap[c + 1], heap[c]))
                c++;
            if (!less(heap[c], last))
                break;
            heap[i] = heap[c];
            i = c;
        }
        heap[i] = last;
        return top;
    };
    for (int i = 0; i < n; i++) {
        if (freq[i] > 0) {
            weight[i] = freq[i];
            push(i);
        }
    }
    int next = n;
    while (size > 1) {
        int a = pop(), b = pop();
        weight[next] = weight[a] + weight[b];
        parent[a] = parent[b] = next;
        push(next++);
    }
    int root = next - 1;

    // Depths, then how many leaves sit at each length (capped).
    int depth[2 * LZH_NC];
    int count[LZH_MAX_CODE_LEN + 1] = {0};
    depth[root] = 0;
    for (int v = root - 1; v >= 0; v--) {
        if (v < n && freq[v] == 0)
            continue;
        depth[v] = depth[parent[v]] + 1;
        if (v < n)
            count[depth[v] > LZH_MAX_CODE_LEN ? LZH_MAX_CODE_LEN : depth[v]]++;
    }
    // Capping overfills the code space; take room from the longest codes
    // until the Kraft sum is exactly one again.
    uint32_t kraft = 0;
    for (int l = 1; l <= LZH_MAX_CODE_LEN; l++)
        kraft += (uint32_t)count[l] << (LZH_MAX_CODE_LEN - l);
    while (kraft > (1u << LZH_MAX_CODE_LEN)) {
        count[LZH_MAX_CODE_LEN]--;
        for (int l = LZH_MAX_CODE_LEN - 1; l > 0; l--) {
            if (count[l] > 0) {
                count[l]--;
                count[l + 1] += 2;
                break;
            }
        }
        kraft--;
    }

    // Symbols by falling frequency (then by number) take the lengths in
    // rising order.
    int order[LZH_NC];
    int k = 0;
    for (int i = 0; i < n; i++)
        if (freq[i] > 0)
            order[k++] = i;
    for (int i = 1; i < k; i++) {  // insertion sort: n is at most 510
        int v = order[i], j = i;
        while (j > 0 && (freq[order[j - 1]] < freq[v] ||
                         (freq[order[j - 1]] == freq[v] && order[j - 1] > v))) {
            order[j] = order[j - 1];
            j--;
        }
        order[j] = v;
    }
    int at = 0;
    for (int l = 1; l <= LZH_MAX_CODE_LEN; l++)
        for (int c = 0; c < count[l]; c++)
            len[order[at++]] = (unsigned char)l;
    return used;
}

// Canonical codes, as the decoder assigns them: by length, then by symbol.
void lzh_code_words(const unsigned char *len, int n, uint16_t *code)
{
    uint16_t count[LZH_MAX_CODE_LEN + 1] = {0}, next[LZH_MAX_CODE_LEN + 2];
    for (int i = 0; i < n; i++)
        count[len[i]]++;
    count[0] = 0;
    unsigned c = 0;
    for (int l = 1; l <= LZH_MAX_CODE_LEN; l++) {
        next[l] = (uint16_t)c;
        c = (c + count[l]) << 1;
    }
    for (int i = 0; i < n; i++)
        code[i] = len[i] ? next[len[i]]++ : 0;
}
