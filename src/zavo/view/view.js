// zavo view: draws the forward pass of one analysed graph, nested by module path, every node and
// parameter coloured by the tied set of its channels. The layout is a layered one computed here,
// per module, so that opening or closing a module lays the graph out again at once.
(function () {
  'use strict';

  const data = JSON.parse(document.getElementById('zavo-data').textContent);
  // Layout constants, in pixels.
  const RANK_GAP = 26, ITEM_GAP = 18, DUMMY_W = 6, PAD = 12, HEAD = 24, SEG = 10;
  // The opening view expands module levels while at most this many items are visible.
  const OPENING_ITEMS = 60;

  // ---- The model ---------------------------------------------------------------------------

  const ops = data.ops;
  const nodes = data.nodes.map((n, id) => ({
    id, kind: n[0], name: n[1], op: n[2] >= 0 ? ops[n[2]] : '', shape: n[3], inputs: n[4],
    sets: n[5], params: [], consumers: 0, warnings: [], errors: [], output: false,
  }));
  // node id -> parameter. A parse that stopped early never reached the later parameters: they
  // are listed without channels.
  const params = new Map();
  const reached = new Map(data.parameters.map((p) => [p[0], p]));
  for (const n of nodes) {
    if (n.kind !== 1) continue;
    const p = reached.get(n.id);
    const dims = p
      ? p[1].map(([size, prunable, set], dim) => ({ dim, size, prunable, set }))
      : (n.shape || []).map((size, dim) => ({ dim, size, prunable: 0, set: -1 }));
    const channel = dims.find((d) => d.set >= 0);
    params.set(n.id, {
      id: n.id, order: params.size, name: n.name, dims, reached: !!p,
      elements: p ? p[2] : dims.reduce((k, d) => k * d.size, 1), prunableElements: p ? p[3] : 0,
      set: channel ? channel.set : -1, channelDim: channel ? channel.dim : -1,
    });
  }
  // Why a set is kept: the reason of its first kept class, in label order, that has one.
  const keptBy = new Map();
  for (const [, , set, , prunable, reason] of data.classes) {
    if (!prunable && reason !== null && !keptBy.has(set)) keptBy.set(set, data.reasons[reason]);
  }
  const sets = data.sets.map((s, id) => ({
    id, channels: s.classes, prunable: s.prunable,
    reason: keptBy.has(id) ? keptBy.get(id).text : '', via: keptBy.has(id) ? keptBy.get(id).via : [],
    params: [], nodes: [],
  }));
  for (const p of params.values()) {
    for (const d of p.dims) if (d.set >= 0) sets[d.set].params.push({ param: p, dim: d });
  }
  for (const n of nodes) {
    for (const s of n.sets) sets[s].nodes.push(n);
    for (const i of n.inputs) {
      const input = nodes[i];
      if (input.kind === 1) {
        if (!n.params.includes(i)) n.params.push(i);
        input.consumers++;
      }
    }
  }
  for (const [node, message] of data.warnings) nodes[node].warnings.push(message);
  if (data.error) nodes[data.error.node].errors.push(data.error);
  for (const e of data.recovered_errors) nodes[e.node].errors.push(e);
  for (const o of data.outputs) nodes[o].output = true;

  // Colours: one hue per prunable tied set, spread by the golden angle; kept sets are grey.
  const prunableOrdinal = new Map();
  for (const s of sets) if (s.prunable > 0) prunableOrdinal.set(s.id, prunableOrdinal.size);
  function colour(set) {
    if (set < 0 || set === undefined) return { solid: '#dde2e8', tint: '#ffffff', line: '#b8c2cc' };
    if (!prunableOrdinal.has(set)) return { solid: '#a3adb8', tint: '#f1f3f5', line: '#c3cad2' };
    const h = (prunableOrdinal.get(set) * 137.508 + 205) % 360;
    return { solid: `hsl(${h},58%,50%)`, tint: `hsl(${h},70%,95%)`, line: `hsl(${h},45%,68%)` };
  }

  // Node kinds: 0 input, 1 parameter, 2 call, 3 constant (a tensor the model neither takes nor owns).
  const KIND_NAMES = ['input', 'parameter', 'call', 'constant'];
  // Inputs and constants carry no channels of their own and are drawn alike.
  const isSource = (n) => n.kind === 0 || n.kind === 3;

  // Drawn nodes: inputs, constants, calls, and parameters that no call uses. Used parameters are drawn as
  // chips on the calls that use them.
  const drawn = nodes.filter((n) => n.kind !== 1 || n.consumers === 0);

  // ---- Modules: nodes nested by the path in their names ------------------------------------

  const root = { path: '', label: '', parent: null, children: [], depth: 0 };
  const groups = new Map([['', root]]);
  function groupOf(path) {
    let g = groups.get(path);
    if (g) return g;
    const cut = path.lastIndexOf('.');
    const parent = groupOf(cut < 0 ? '' : path.slice(0, cut));
    g = { path, label: '', parent, children: [], depth: 0 };
    groups.set(path, g);
    parent.children.push({ group: g });
    return g;
  }
  // Modules are known by their parameters' names. A call named after a module, or after one
  // with a counter (`attn_norm_3`, a later call inside `attn_norm`), goes inside that module;
  // any other node inside the module its name's path names.
  const modulePaths = new Set();
  for (const p of params.values()) {
    for (let cut = p.name.indexOf('.'); cut >= 0; cut = p.name.indexOf('.', cut + 1)) {
      modulePaths.add(p.name.slice(0, cut));
    }
  }
  function homeOf(name) {
    if (modulePaths.has(name)) return name;
    const counted = /^(.*)_\d+$/.exec(name);
    if (counted && modulePaths.has(counted[1])) return counted[1];
    const cut = name.lastIndexOf('.');
    return cut < 0 ? '' : name.slice(0, cut);
  }
  for (const n of drawn) groupOf(homeOf(n.name)).children.push({ node: n });
  // A module with a single child is not worth a box: the child takes its place.
  function simplify(g) {
    g.children = g.children.map((c) => {
      if (!c.group) return c;
      simplify(c.group);
      return c.group.children.length === 1 ? c.group.children[0] : c;
    });
  }
  simplify(root);
  const tree = [];  // every module, parents before children
  (function index(g, depth, anc) {
    g.depth = depth;
    g.anc = anc;
    g.first = Infinity;
    g.drawn = [];
    if (g !== root) tree.push(g);
    for (const c of g.children) {
      if (c.group) {
        c.group.parent = g;
        c.group.label = c.group.path;
        index(c.group, depth + 1, anc.concat([g]));
      } else {
        c.node.anc = anc.concat([g]);
        c.node.group = g;
      }
    }
  })(root, 0, []);
  for (const n of drawn) {
    for (const g of n.anc) {
      g.drawn.push(n);
      g.first = Math.min(g.first, n.id);
    }
  }
  for (const g of tree) {
    const own = new Set();
    for (const n of g.drawn) for (const p of n.params) own.add(p);
    g.params = [...own].map((id) => params.get(id)).filter(Boolean);
    g.warnings = g.drawn.reduce((k, n) => k + n.warnings.length, 0);
    g.errors = g.drawn.reduce((k, n) => k + n.errors.length, 0);
  }
  const childOrder = (c) => (c.group ? c.group.first : c.node.id);
  for (const g of [root, ...tree]) g.children.sort((a, b) => childOrder(a) - childOrder(b));

  // ---- Which modules are open ---------------------------------------------------------------

  let expanded = new Set();
  // Opens module levels one at a time, while the visible items stay few: a deep network opens
  // at its blocks, a small one further.
  function openingLevel() {
    const open = new Set();
    let visible = root.children.length;
    for (let depth = 1; ; depth++) {
      const level = tree.filter((g) => g.depth === depth && g.anc.every((a) => a === root || open.has(a)));
      if (!level.length) break;
      const after = visible + level.reduce((k, g) => k + g.children.length - 1, 0);
      if (after > OPENING_ITEMS && depth > 1) break;
      for (const g of level) open.add(g);
      visible = after;
      if (after > OPENING_ITEMS) break;
    }
    return open;
  }
  const isOpen = (g) => g === root || expanded.has(g);
  // The item that stands for node `n` on screen: itself, or its outermost closed module.
  function itemOf(n) {
    for (const g of n.anc) if (!isOpen(g)) return g;
    return n;
  }
  const keyOf = (item) => (item.path !== undefined ? 'g:' + item.path : 'n:' + item.id);

  // ---- Measuring text ------------------------------------------------------------------------

  const measure = document.createElement('canvas').getContext('2d');
  const fontFamily = getComputedStyle(document.documentElement).fontFamily;
  const widths = new Map();
  function textWidth(text, font) {
    const key = font + '\u0000' + text;
    let w = widths.get(key);
    if (w === undefined) {
      measure.font = font + ' ' + fontFamily;
      w = measure.measureText(text).width;
      widths.set(key, w);
    }
    return w;
  }
  const NAME_FONT = '600 12px', OP_FONT = '11px';

  const shortOp = (op) => op.slice(op.lastIndexOf('.') + 1) || op;
  // A node's name inside its module: the path of the module left out.
  // A bare index (`downsample.0`) keeps the name of the list it indexes.
  function displayName(n) {
    const path = n.group ? n.group.path : '';
    if (!path) return n.name;
    const rest = n.name.startsWith(path + '.') ? n.name.slice(path.length + 1) : n.name.slice(n.name.lastIndexOf('.') + 1);
    return /^\d+$/.test(rest) ? path.slice(path.lastIndexOf('.') + 1) + '.' + rest : rest;
  }
  function nodeSubtitle(n) {
    return n.kind === 2 ? shortOp(n.op) : KIND_NAMES[n.kind];
  }
  // Parameter chips: one segment per dimension that carries labels, coloured by its set.
  function chipSegments(p) {
    const segs = p.dims.filter((d) => d.set >= 0);
    return segs.length ? segs : [{ dim: -1, set: -1 }];
  }
  const chipWidth = (p) => chipSegments(p).length * SEG;

  // ---- Layout ---------------------------------------------------------------------------------

  function nodeSize(n) {
    const title = textWidth(displayName(n), NAME_FONT) + textWidth(nodeSubtitle(n), OP_FONT) + 30;
    let chips = 0;
    for (const id of n.params) chips += chipWidth(params.get(id)) + 4;
    const rowMax = Math.max(title, 150);
    const rows = chips ? Math.ceil(chips / rowMax) : 0;
    const w = Math.max(64, title, Math.min(chips, rowMax) + 20);
    return { w: Math.ceil(w), h: rows ? 30 + rows * (SEG + 4) : 26 };
  }
  function moduleSize(g) {
    const title = textWidth('\u25B8 ' + g.label, NAME_FONT) + 24;
    const dots = Math.min(distinctSets(g).length, 14) * 11 + textWidth(moduleSubtitle(g), OP_FONT) + 30;
    return { w: Math.ceil(Math.max(90, title, dots)), h: 44 };
  }
  function distinctSets(g) {
    if (!g.setList) {
      const seen = new Set();
      for (const p of g.params) if (p.set >= 0) seen.add(p.set);
      g.setList = [...seen];
    }
    return g.setList;
  }
  const moduleSubtitle = (g) =>
    `${g.drawn.length} nodes` + (g.params.length ? ` \u00B7 ${g.params.length} params` : '');

  // Layered layout of the items of one open module: ranks by longest path along the execution
  // order, long edges through dummy points, orders by barycentres, positions by least squares.
  function layered(items, pairs) {
    const index = new Map(items.map((it, i) => [it.key, i]));
    const n = items.length;
    const preds = items.map(() => []), succs = items.map(() => []);
    const forward = [];
    for (const pair of pairs.values()) {
      const a = index.get(pair.a), b = index.get(pair.b);
      pair.backward = items[a].order > items[b].order;
      if (pair.backward) continue;
      preds[b].push(a);
      succs[a].push(b);
      forward.push([a, b, pair]);
    }
    const byOrder = items.map((_, i) => i).sort((x, y) => items[x].order - items[y].order);
    const rank = new Array(n).fill(0);
    for (const i of byOrder) for (const p of preds[i]) rank[i] = Math.max(rank[i], rank[p] + 1);
    // Sources sit just above their first consumer, not at the top.
    for (let k = byOrder.length - 1; k >= 0; k--) {
      const i = byOrder[k];
      if (!items[i].virtual && !preds[i].length && succs[i].length) {
        rank[i] = Math.min(...succs[i].map((s) => rank[s])) - 1;
      }
    }
    // Where edges leave the module: below everything else.
    const last = items.reduce((r, it, i) => (it.virtual === 'out' ? r : Math.max(r, rank[i])), 0);
    items.forEach((it, i) => { if (it.virtual === 'out') rank[i] = last + 1; });
    const ranks = [];
    const entries = items.map((it, i) => ({
      w: it.w, h: it.h, rank: rank[i], order: it.order, up: [], down: [], x: 0, dummy: !!it.virtual,
    }));
    for (const e of entries) (ranks[e.rank] = ranks[e.rank] || []).push(e);
    // Long edges from one source share their dummy points: a tensor used by every block of a
    // network runs down as one line beside them, not one line per block.
    const trunk = new Map();
    for (const [a, b, pair] of forward) {
      let prev = entries[a];
      pair.dummies = [];
      for (let r = rank[a] + 1; r < rank[b]; r++) {
        let d = trunk.get(a + ':' + r);
        if (!d) {
          d = { w: DUMMY_W, h: 0, rank: r, order: items[a].order + 0.5, up: [prev], down: [], x: 0, dummy: true };
          prev.down.push(d);
          (ranks[r] = ranks[r] || []).push(d);
          trunk.set(a + ':' + r, d);
        }
        pair.dummies.push(d);
        prev = d;
      }
      prev.down.push(entries[b]);
      entries[b].up.push(prev);
    }
    for (let r = 0; r < ranks.length; r++) ranks[r] = ranks[r] || [];
    for (const row of ranks) {
      row.sort((x, y) => x.order - y.order);
      row.forEach((e, i) => (e.pos = i));
    }
    // Crossing reduction: barycentre sweeps down and up.
    const sweep = (down) => {
      const order = down ? ranks.keys() : [...ranks.keys()].reverse();
      for (const r of order) {
        const row = ranks[r];
        for (const e of row) {
          const nb = down ? e.up : e.down;
          e.bary = nb.length ? nb.reduce((k, o) => k + o.pos, 0) / nb.length : e.pos;
        }
        row.sort((x, y) => x.bary - y.bary || x.pos - y.pos);
        row.forEach((e, i) => (e.pos = i));
      }
    };
    for (let k = 0; k < 3; k++) { sweep(true); sweep(false); }
    // Positions: each row is placed as close as it can to the centres of its neighbours, in order,
    // with gaps (pool-adjacent-violators over the row).
    const gap = (a, b) => (a.w + b.w) / 2 + (a.dummy && b.dummy ? 4 : ITEM_GAP);
    const place = (row, want) => {
      const blocks = [];
      for (let i = 0; i < row.length; i++) {
        let b = { start: i, end: i, offs: [0], sum: want[i], n: 1 };
        while (blocks.length) {
          const prev = blocks[blocks.length - 1];
          const prevPos = prev.sum / prev.n, curPos = b.sum / b.n;
          const needed = prev.offs[prev.offs.length - 1] + gap(row[prev.end], row[b.start]);
          if (prevPos + needed <= curPos) break;
          blocks.pop();
          const shift = needed;
          prev.offs.push(...b.offs.map((o) => o + shift));
          prev.sum += b.sum - shift * b.n;
          prev.n += b.n;
          prev.end = b.end;
          b = prev;
        }
        blocks.push(b);
      }
      for (const b of blocks) {
        const p = b.sum / b.n;
        for (let i = b.start; i <= b.end; i++) row[i].x = p + b.offs[i - b.start];
      }
    };
    for (const row of ranks) {
      let x = 0;
      const want = row.map((e) => { const c = x + e.w / 2; x += e.w + ITEM_GAP; return c; });
      place(row, want.map((c) => c - x / 2));
    }
    const relax = (down) => {
      const order = down ? [...ranks.keys()] : [...ranks.keys()].reverse();
      for (const r of order) {
        const row = ranks[r];
        const want = row.map((e) => {
          const nb = down ? e.up : e.down;
          const other = down ? e.down : e.up;
          const all = nb.length ? nb : other;
          return all.length ? all.reduce((k, o) => k + o.x, 0) / all.length : e.x;
        });
        place(row, want);
      }
    };
    for (let k = 0; k < 4; k++) { relax(true); relax(false); }
    relax(true);
    // Coordinates: ranks top to bottom, each as tall as its tallest item.
    let left = Infinity, right = -Infinity;
    for (const row of ranks) for (const e of row) {
      left = Math.min(left, e.x - e.w / 2);
      right = Math.max(right, e.x + e.w / 2);
    }
    let y = 0, gapAfter = 0;
    for (const row of ranks) {
      const h = row.reduce((k, e) => Math.max(k, e.h), 0);
      for (const e of row) { e.x -= left; e.y = y; e.rowH = h; }
      // Rows of passing lines only take little room.
      gapAfter = h ? RANK_GAP : RANK_GAP / 2;
      y += h + gapAfter;
    }
    items.forEach((it, i) => { it.x = entries[i].x; it.y = entries[i].y; });
    return { w: n ? right - left : 0, h: n ? y - gapAfter : 0 };
  }

  // Lays out the open module `g` and everything visible inside it; sizes in g.box.
  function layoutModule(g, levels) {
    const level = levels.get(g) || { pairs: new Map(), virtual: new Map() };
    g.items = g.children.map((c) => {
      if (c.node) return { key: keyOf(c.node), ref: c.node, order: c.node.id, ...nodeSize(c.node) };
      const sub = c.group;
      if (!expanded.has(sub)) return { key: keyOf(sub), ref: sub, order: sub.first, ...moduleSize(sub) };
      const inner = layoutModule(sub, levels);
      return { key: keyOf(sub), ref: sub, order: sub.first, open: true,
               w: Math.max(inner.w + 2 * PAD, textWidth('\u25BE ' + sub.label, NAME_FONT) + 2 * PAD),
               h: inner.h + HEAD + PAD, inner };
    });
    let k = 0;
    for (const [key, kind] of level.virtual) {
      g.items.push({ key, virtual: kind, w: DUMMY_W, h: 0, order: kind === 'in' ? -1 : 1e15 + k++ });
    }
    g.itemByKey = new Map(g.items.map((it) => [it.key, it]));
    return layered(g.items, level.pairs);
  }

  // Edges between visible items. An edge runs through the modules between its ends: it leaves
  // each open module around its source through one exit point at the bottom, crosses the
  // innermost module holding both ends, and enters each module around its target through one
  // entry point at the top. Edges from one source share their exits, entries and long runs.
  function visibleEdges() {
    const edges = new Map();
    const levels = new Map();
    const level = (g) => {
      if (!levels.has(g)) levels.set(g, { pairs: new Map(), virtual: new Map() });
      return levels.get(g);
    };
    const pairIn = (g, a, b) => {
      const pairs = level(g).pairs, key = a + '>' + b;
      if (!pairs.has(key)) pairs.set(key, { a, b, level: g });
      return pairs.get(key);
    };
    for (const n of drawn) {
      for (const i of n.inputs) {
        const src = nodes[i];
        if (src.kind === 1 && src.consumers > 0) continue;
        const a = itemOf(src), b = itemOf(n);
        if (a === b) continue;
        const ka = keyOf(a), kb = keyOf(b);
        if (edges.has(ka + '>' + kb)) continue;
        const ca = a.anc, cb = b.anc;
        let k = 0;
        while (k + 1 < ca.length && k + 1 < cb.length && ca[k + 1] === cb[k + 1]) k++;
        const segs = [];
        for (let j = ca.length - 1; j > k; j--) {
          level(ca[j]).virtual.set('out:' + ka, 'out');
          segs.push(pairIn(ca[j], j + 1 < ca.length ? keyOf(ca[j + 1]) : ka, 'out:' + ka));
        }
        segs.push(pairIn(ca[k], k + 1 < ca.length ? keyOf(ca[k + 1]) : ka, k + 1 < cb.length ? keyOf(cb[k + 1]) : kb));
        for (let j = k + 1; j < cb.length; j++) {
          level(cb[j]).virtual.set('in:' + ka, 'in');
          segs.push(pairIn(cb[j], 'in:' + ka, j + 1 < cb.length ? keyOf(cb[j + 1]) : kb));
        }
        edges.set(ka + '>' + kb, { a, b, segs });
      }
    }
    return { edges, levels };
  }

  // ---- Drawing ------------------------------------------------------------------------------

  const canvas = document.getElementById('canvas');
  const viewport = document.getElementById('viewport');
  const layers = {
    clusters: document.getElementById('clusters'),
    edges: document.getElementById('edges'),
    items: document.getElementById('items'),
  };
  let boxes = new Map();  // key -> absolute box of every visible item
  let graphSize = { w: 0, h: 0 };

  const esc = (s) => String(s).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
  // A long dotted name that may wrap after its dots.
  const wrapName = (s) => esc(s).replace(/\./g, '.<wbr>');
  const fmt = (x) => Number(x).toLocaleString('en-US');
  const compact = (x) => (x >= 1e9 ? (x / 1e9).toFixed(2) + ' billion' : x >= 1e6 ? (x / 1e6).toFixed(2) + ' million' : fmt(x));
  const pct = (x) => (x * 100).toFixed(x >= 0.9995 || x === 0 ? 0 : 1) + '%';

  function chipsSvg(n, x0, y0, maxW) {
    let out = '', x = x0, y = y0;
    for (const id of n.params) {
      const p = params.get(id);
      if (!p) continue;
      const w = chipWidth(p);
      if (x > x0 && x + w > x0 + maxW) { x = x0; y += SEG + 4; }
      out += `<g class="chip" data-param="${id}">`;
      chipSegments(p).forEach((d, k) => {
        out += `<rect class="seg" data-dim="${d.dim}" x="${x + k * SEG}" y="${y}" width="${SEG}" height="${SEG}" rx="2" fill="${colour(d.set).solid}"></rect>`;
      });
      out += `<rect class="frame" x="${x - 1}" y="${y - 1}" width="${w + 2}" height="${SEG + 2}" rx="3"></rect></g>`;
      x += w + 4;
    }
    return out;
  }
  function badgeSvg(x, y, warnings, errors) {
    if (!warnings && !errors) return '';
    const cls = errors ? 'b-error' : 'b-warning';
    const fill = errors ? '#d64545' : '#e6a100';
    return `<g class="badge ${cls}"><circle cx="${x}" cy="${y}" r="7" fill="${fill}"></circle>` +
      `<text x="${x}" y="${y + 3.5}" text-anchor="middle" font-size="10" font-weight="700" fill="#fff">!</text></g>`;
  }
  function nodeSvg(n, b) {
    const sets = n.sets;
    const main = colour(sets.length ? sets[0] : -1);
    const cls = ['node'];
    if (n.output) cls.push('output');
    if (!sets.length) cls.push('unlabelled');
    const rx = isSource(n) ? b.h / 2 : 5;
    let out = `<g class="${cls.join(' ')}" data-node="${n.id}" transform="translate(${b.x},${b.y})">`;
    out += `<rect class="body" width="${b.w}" height="${b.h}" rx="${rx}" fill="${main.tint}" stroke="${main.line}"></rect>`;
    if (!isSource(n)) {
      const stripe = sets.length ? sets.slice(0, 4) : [-1];
      const h = (b.h - 6) / stripe.length;
      stripe.forEach((s, k) => {
        out += `<rect x="3" y="${3 + k * h}" width="4" height="${h}" rx="1.5" fill="${colour(s).solid}"></rect>`;
      });
    }
    const tx = isSource(n) ? 12 : 13;
    const name = displayName(n);
    out += `<text class="name" x="${tx}" y="17">${esc(name)}</text>`;
    out += `<text class="op" x="${tx + textWidth(name, NAME_FONT) + 7}" y="17">${esc(nodeSubtitle(n))}</text>`;
    if (n.params.length) out += chipsSvg(n, 13, 24, b.w - 20);
    out += badgeSvg(b.w - 2, 2, n.warnings.length, n.errors.length);
    return out + '</g>';
  }
  function moduleSvg(g, b) {
    let out = `<g class="module" data-group="${esc(g.path)}" transform="translate(${b.x},${b.y})">`;
    out += `<rect class="shadow" x="4" y="4" width="${b.w}" height="${b.h}" rx="6"></rect>`;
    out += `<rect class="body" width="${b.w}" height="${b.h}" rx="6" fill="#ffffff" stroke="#aab4bf"></rect>`;
    out += `<text class="name" x="10" y="17">\u25B8 ${esc(g.label)}</text>`;
    const list = distinctSets(g);
    list.slice(0, 14).forEach((s, k) => {
      out += `<circle class="dot" cx="${15 + k * 11}" cy="31" r="4.5" fill="${colour(s).solid}"></circle>`;
    });
    const tx = 10 + Math.min(list.length, 14) * 11 + (list.length ? 6 : 0);
    out += `<text class="op" x="${tx}" y="35">${esc(moduleSubtitle(g))}</text>`;
    out += badgeSvg(b.w - 2, 2, g.warnings, g.errors);
    return out + '</g>';
  }
  function clusterSvg(g, b) {
    return `<g class="cluster" data-cluster="${esc(g.path)}">` +
      `<rect class="box" x="${b.x}" y="${b.y}" width="${b.w}" height="${b.h}" rx="8"></rect>` +
      `<g class="head" data-group="${esc(g.path)}">` +
      `<rect x="${b.x}" y="${b.y}" width="${b.w}" height="${HEAD - 4}" fill="transparent"></rect>` +
      `<text x="${b.x + 10}" y="${b.y + 15}">\u25BE ${esc(g.label)}</text></g></g>`;
  }

  function edgePath(points) {
    let d = `M${points[0].x.toFixed(1)},${points[0].y.toFixed(1)}`;
    for (let i = 1; i < points.length; i++) {
      const p = points[i - 1], q = points[i];
      if (q.straight) { d += ` L${q.x.toFixed(1)},${q.y.toFixed(1)}`; continue; }
      const k = Math.max(Math.abs(q.y - p.y) / 2, 12);
      const dir = q.y >= p.y ? 1 : -1;
      d += ` C${p.x.toFixed(1)},${(p.y + k).toFixed(1)} ${q.x.toFixed(1)},${(q.y - k * dir).toFixed(1)} ${q.x.toFixed(1)},${q.y.toFixed(1)}`;
    }
    return d;
  }

  function render() {
    const { edges, levels } = visibleEdges();
    const size = layoutModule(root, levels);
    boxes = new Map();
    const clusters = [], items = [];
    const originOf = new Map();
    (function placeAll(g, ox, oy) {
      originOf.set(g, { x: ox, y: oy });
      for (const it of g.items) {
        if (it.virtual) continue;
        const b = { x: ox + it.x - it.w / 2, y: oy + it.y, w: it.w, h: it.h };
        boxes.set(it.key, b);
        if (it.open) {
          clusters.push(clusterSvg(it.ref, b));
          placeAll(it.ref, b.x + PAD, b.y + HEAD);
        } else if (it.ref.path !== undefined) {
          items.push(moduleSvg(it.ref, b));
        } else {
          items.push(nodeSvg(it.ref, b));
        }
      }
    })(root, 0, 0);
    // The points of every edge between its two ends: exits, long runs, entries.
    const route = [];
    for (const e of edges.values()) {
      const pts = [];
      for (const seg of e.segs) {
        const o = originOf.get(seg.level);
        const at = (key) => { const it = seg.level.itemByKey.get(key); return { x: o.x + it.x, y: o.y + it.y }; };
        if (seg.a.startsWith('in:')) pts.push(at(seg.a));
        for (const d of seg.dummies || []) {
          pts.push({ x: o.x + d.x, y: o.y + d.y });
          pts.push({ x: o.x + d.x, y: o.y + d.y + d.rowH, straight: true });
        }
        if (seg.b.startsWith('out:')) pts.push(at(seg.b));
      }
      route.push({ e, pts });
    }
    // Edges leave the bottom of their source and enter the top of their target; the ports are
    // spread along the side in the order of the next point on the way, and edges that go on
    // together share a port.
    const ports = (list, key, out) => {
      const b = boxes.get(key);
      const hops = new Map();
      for (const r of list) {
        const far = out ? r.pts[0] || centreTop(r.e.b) : r.pts[r.pts.length - 1] || centreTop(r.e.a);
        const id = far.x.toFixed(1) + ',' + far.y.toFixed(1);
        if (!hops.has(id)) hops.set(id, { x: far.x, list: [] });
        hops.get(id).list.push(r);
      }
      const order = [...hops.values()].sort((p, q) => p.x - q.x);
      const span = Math.min(b.w - 16, (order.length - 1) * 14);
      order.forEach((h, i) => {
        const x = b.x + b.w / 2 + (order.length > 1 ? (i / (order.length - 1) - 0.5) * span : 0);
        for (const r of h.list) r[out ? 'sx' : 'tx'] = x;
      });
    };
    const centreTop = (item) => { const b = boxes.get(keyOf(item)); return { x: b.x + b.w / 2, y: b.y }; };
    const outs = new Map(), ins = new Map();
    for (const r of route) {
      const ka = keyOf(r.e.a), kb = keyOf(r.e.b);
      if (!outs.has(ka)) outs.set(ka, []);
      if (!ins.has(kb)) ins.set(kb, []);
      outs.get(ka).push(r);
      ins.get(kb).push(r);
    }
    for (const [key, list] of outs) ports(list, key, true);
    for (const [key, list] of ins) ports(list, key, false);
    const paths = [];
    for (const r of route) {
      const ba = boxes.get(keyOf(r.e.a)), bb = boxes.get(keyOf(r.e.b));
      const pts = [{ x: r.sx, y: ba.y + ba.h }, ...r.pts, { x: r.tx, y: bb.y - 1 }];
      const back = r.e.segs.some((seg) => seg.backward);
      paths.push(`<path class="edge${back ? ' back' : ''}" data-from="${keyOf(r.e.a)}" data-to="${keyOf(r.e.b)}" d="${edgePath(pts)}" marker-end="url(#arrow)"></path>`);
    }
    layers.clusters.innerHTML = clusters.join('');
    layers.edges.innerHTML = paths.join('');
    layers.items.innerHTML = items.join('');
    graphSize = size;
    applySelection();
  }

  // ---- Pan and zoom ---------------------------------------------------------------------------

  let view = { x: 0, y: 0, k: 1 };
  const applyView = () => viewport.setAttribute('transform', `translate(${view.x},${view.y}) scale(${view.k})`);
  function fit(all) {
    const W = canvas.clientWidth, H = canvas.clientHeight, m = 24;
    const kAll = Math.min(1.2, (W - 2 * m) / Math.max(graphSize.w, 1), (H - 2 * m) / Math.max(graphSize.h, 1));
    let k = kAll;
    if (!all && kAll < 0.6) k = Math.max(Math.min(1, (W - 2 * m) / Math.max(graphSize.w, 1)), 0.6);
    view = { k, x: (W - graphSize.w * k) / 2, y: m };
    if (graphSize.h * k < H - 2 * m) view.y = (H - graphSize.h * k) / 2;
    applyView();
  }
  function centreOn(key, k) {
    const b = boxes.get(key);
    if (!b) return;
    const W = canvas.clientWidth, H = canvas.clientHeight;
    view.k = k;
    view.x = W / 2 - (b.x + b.w / 2) * view.k;
    view.y = H / 2 - (b.y + b.h / 2) * view.k;
    applyView();
  }
  canvas.addEventListener('wheel', (ev) => {
    ev.preventDefault();
    const r = canvas.getBoundingClientRect();
    const px = ev.clientX - r.left, py = ev.clientY - r.top;
    const k = Math.min(4, Math.max(0.05, view.k * Math.exp(-ev.deltaY * 0.0015)));
    view.x = px - ((px - view.x) * k) / view.k;
    view.y = py - ((py - view.y) * k) / view.k;
    view.k = k;
    applyView();
  }, { passive: false });
  let drag = null, dragged = false;
  canvas.addEventListener('pointerdown', (ev) => {
    drag = { x: ev.clientX, y: ev.clientY, vx: view.x, vy: view.y };
    dragged = false;
  });
  window.addEventListener('pointermove', (ev) => {
    if (!drag) return;
    const dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
    if (!dragged && Math.hypot(dx, dy) < 4) return;
    dragged = true;
    canvas.classList.add('panning');
    view.x = drag.vx + dx;
    view.y = drag.vy + dy;
    applyView();
  });
  window.addEventListener('pointerup', () => { drag = null; canvas.classList.remove('panning'); });

  // One tooltip for the whole graph: a title element per node would double the page's
  // elements.
  const tip = document.getElementById('tip');
  canvas.addEventListener('pointermove', (ev) => {
    if (drag && dragged) return;
    const t = ev.target;
    let text = '';
    const chip = t.closest('.chip'), node = t.closest('.node'), group = t.closest('[data-group]');
    if (chip) {
      const p = params.get(Number(chip.dataset.param));
      const seg = t.closest('.seg');
      const d = seg && Number(seg.dataset.dim) >= 0 ? p.dims[Number(seg.dataset.dim)] : null;
      text = `${p.name} ${shapeText(nodes[p.id].shape)}` +
        (d ? `\ndimension ${d.dim}: ${fmt(d.prunable)} of ${fmt(d.size)} prunable, tied set ${d.set}` : '');
    } else if (node) {
      const n = nodes[Number(node.dataset.node)];
      text = `${n.name}${n.op ? '\n' + n.op : ''}\n${shapeText(n.shape)}`;
    } else if (group) {
      const g = groups.get(group.dataset.group);
      text = `${g.path}: ${moduleSubtitle(g)}\nclick to ${expanded.has(g) ? 'close' : 'open'}`;
    }
    tip.hidden = !text;
    if (!text) return;
    tip.textContent = text;
    const r = canvas.parentElement.getBoundingClientRect();
    tip.style.left = `${ev.clientX - r.left + 14}px`;
    tip.style.top = `${ev.clientY - r.top + 16}px`;
  });
  canvas.addEventListener('pointerleave', () => { tip.hidden = true; });

  // ---- Selection ------------------------------------------------------------------------------

  // The selected tied set and what was clicked to select it.
  let selection = null;

  function select(set, origin) {
    selection = set === null ? null : { set, origin };
    applySelection();
    showPanel();
  }
  function selectedParts() {
    const hlParams = new Set(), hlNodes = new Set();
    if (!selection || selection.set < 0) return { hlParams, hlNodes };
    const s = sets[selection.set];
    for (const { param } of s.params) hlParams.add(param.id);
    for (const n of s.nodes) hlNodes.add(n.id);
    for (const n of drawn) if (n.params.some((p) => hlParams.has(p))) hlNodes.add(n.id);
    return { hlParams, hlNodes };
  }
  function applySelection() {
    const { hlParams, hlNodes } = selectedParts();
    const on = !!selection && selection.set >= 0;
    canvas.classList.toggle('selecting', on || (!!selection && selection.origin.node !== undefined));
    const hlItems = new Set();
    for (const id of hlNodes) {
      const n = nodes[id];
      if (n.anc) hlItems.add(keyOf(itemOf(n)));
    }
    if (selection && selection.origin.node !== undefined && nodes[selection.origin.node].anc)
      hlItems.add(keyOf(itemOf(nodes[selection.origin.node])));
    for (const el of layers.items.querySelectorAll('.node, .module')) {
      const key = el.dataset.node !== undefined ? 'n:' + el.dataset.node : 'g:' + el.dataset.group;
      el.classList.toggle('hl', hlItems.has(key));
      el.classList.toggle('origin', !!selection && selection.origin.node !== undefined &&
        el.dataset.node === String(selection.origin.node));
      if (el.classList.contains('hl') && on) {
        el.querySelector('rect.body').style.stroke = colour(selection.set).solid;
      } else {
        el.querySelector('rect.body').style.stroke = '';
      }
    }
    for (const el of layers.items.querySelectorAll('.chip')) {
      el.classList.toggle('hl', hlParams.has(Number(el.dataset.param)));
    }
    const stroke = on ? colour(selection.set).solid : '';
    for (const el of layers.edges.children) {
      const hl = on && hlItems.has(el.dataset.from) && hlItems.has(el.dataset.to);
      el.classList.toggle('hl', hl);
      el.style.stroke = hl ? stroke : '';
    }
    for (const row of tableBody.children) {
      const id = Number(row.dataset.param);
      row.classList.toggle('hl', hlParams.has(id));
      row.classList.toggle('origin', !!selection && selection.origin.param === id);
    }
  }
  // Scrolls the table, and only the table, to the row of parameter `id`.
  function showRow(id) {
    const row = tableBody.querySelector(`tr[data-param="${id}"]`);
    const wrap = table.parentElement;
    if (!row) return;
    if (row.offsetTop < wrap.scrollTop + 24 || row.offsetTop + row.offsetHeight > wrap.scrollTop + wrap.clientHeight) {
      wrap.scrollTop = row.offsetTop - wrap.clientHeight / 2;
    }
  }

  function selectParam(id, dim, reveal) {
    const p = params.get(id);
    if (!p) return;
    const d = dim >= 0 ? p.dims[dim] : p.dims[p.channelDim];
    const set = d && d.set >= 0 ? d.set : -1;
    select(set, { param: id, dim: d ? d.dim : -1 });
    if (reveal) revealNode(firstConsumer(id));
    else showRow(id);
  }
  function selectNode(id) {
    const n = nodes[id];
    select(n.sets.length ? n.sets[0] : -1, { node: id });
  }
  function firstConsumer(paramId) {
    if (nodes[paramId].consumers === 0) return paramId;
    return drawn.find((n) => n.params.includes(paramId)).id;
  }
  // Opens the modules around node `id` and brings it to the middle of the window.
  function revealNode(id) {
    const n = nodes[id];
    if (!n.anc) return;
    let changed = false;
    for (const g of n.anc) if (g !== root && !expanded.has(g)) { expanded.add(g); changed = true; }
    if (changed) render();
    // The module around the node, when it fits in the window at a readable scale; else the
    // node alone.
    const around = n.group !== root && boxes.get(keyOf(n.group));
    const k = Math.max(view.k, 0.8);
    const fit = around ? Math.min(k, (canvas.clientHeight * 0.94) / around.h, (canvas.clientWidth * 0.94) / around.w) : 0;
    if (fit >= 0.6) centreOn(keyOf(n.group), fit);
    else centreOn('n:' + id, k);
    const el = layers.items.querySelector(`.node[data-node="${id}"]`);
    if (el) { el.classList.remove('flash'); void el.getBBox(); el.classList.add('flash'); }
  }

  canvas.addEventListener('click', (ev) => {
    if (dragged) return;
    const t = ev.target;
    const seg = t.closest('.seg'), chip = t.closest('.chip');
    if (chip) {
      selectParam(Number(chip.dataset.param), seg ? Number(seg.dataset.dim) : -1, false);
      return;
    }
    const group = t.closest('[data-group]');
    if (group) {
      const g = groups.get(group.dataset.group);
      if (expanded.has(g)) {
        expanded.delete(g);
        for (const sub of tree) if (sub.anc.includes(g)) expanded.delete(sub);
      } else {
        expanded.add(g);
      }
      render();
      return;
    }
    const node = t.closest('.node');
    if (node) { selectNode(Number(node.dataset.node)); return; }
    select(null);
  });
  window.addEventListener('keydown', (ev) => { if (ev.key === 'Escape') select(null); });

  // ---- Side panel ---------------------------------------------------------------------------

  const panel = document.getElementById('panel');
  const shapeText = (s) => (s ? '(' + s.join(', ') + (s.length === 1 ? ',)' : ')') : 'no tensor');
  function swatch(set) { return `<i class="sw" style="background:${colour(set).solid}"></i>`; }
  function prunableText(s) {
    if (s.prunable === 0) return '<span class="pill no">kept</span>';
    if (s.prunable < s.channels) return `<span class="pill part">${fmt(s.prunable)} of ${fmt(s.channels)} prunable</span>`;
    return '<span class="pill yes">prunable</span>';
  }
  function setSection(setId) {
    if (setId < 0) return '<p>No parameter carries these channels: nothing is tied to this.</p>';
    const s = sets[setId];
    let out = `<div class="set-head">${swatch(setId)}<h3>Tied set ${setId}</h3>${prunableText(s)}</div>`;
    out += `<p>${fmt(s.channels)} channel${s.channels === 1 ? '' : 's'}, ${fmt(s.prunable)} prunable, ` +
      `pruned together index by index across ${s.params.length} parameter dimension${s.params.length === 1 ? '' : 's'}.</p>`;
    if (s.reason) out += `<h4>Why it is kept</h4><p class="reason">${esc(s.reason)}</p>`;
    if (s.via.length) out += `<h4>Chain</h4><ol class="via">${s.via.map((v) => `<li>${esc(v)}</li>`).join('')}</ol>`;
    out += '<h4>Parameters</h4><table><thead><tr><th>Parameter</th><th class="num">Dim</th><th class="num">Prunable</th></tr></thead><tbody>';
    for (const { param, dim } of s.params) {
      out += `<tr><td class="name"><span class="link" data-param="${param.id}" data-dim="${dim.dim}">${wrapName(param.name)}</span></td>` +
        `<td class="num">${dim.dim}</td><td class="num">${fmt(dim.prunable)}/${fmt(dim.size)}</td></tr>`;
    }
    out += '</tbody></table>';
    const calls = s.nodes.filter((n) => n.kind !== 1);
    if (calls.length) {
      out += `<h4>Nodes carrying these channels (${calls.length})</h4><p>`;
      out += calls.slice(0, 60).map((n) => `<span class="link" data-node="${n.id}">${wrapName(n.name)}</span>`).join(', ');
      if (calls.length > 60) out += ` <span class="more">and ${calls.length - 60} more</span>`;
      out += '</p>';
    }
    return out;
  }
  // A message, its start only when it is long (a list of every supported operation).
  function messageText(text) {
    if (text.length <= 240) return esc(text);
    return `<details><summary>${esc(text.slice(0, 200))}\u2026</summary>${esc(text.slice(200))}</details>`;
  }
  function messagesSection(n) {
    let out = '';
    for (const e of n.errors) out += `<div class="msg error"><b>${esc(e.kind)}</b>: ${messageText(e.message)}</div>`;
    for (const w of n.warnings) out += `<div class="msg">${messageText(w)}</div>`;
    return out;
  }
  function showPanel() {
    if (!selection) {
      let out = '<h3>Select to see what prunes together</h3>' +
        '<p>Click a node or a parameter chip (its small squares: one per channel dimension) to ' +
        'highlight everything tied to it. Click a module to open or close it; drag to pan, scroll to zoom.</p>' +
        '<p>Each colour is one <b>tied set</b>: parameter dimensions whose channels are pruned ' +
        'together, index by index, which is what a pruner ranks. Grey sets are kept.</p>';
      const flagged = nodes.filter((n) => n.warnings.length || n.errors.length);
      if (flagged.length) {
        out += `<h4>Errors and warnings (${flagged.length} node${flagged.length === 1 ? '' : 's'})</h4>`;
        for (const n of flagged.slice(0, 50)) {
          out += `<p><span class="link" data-node="${n.id}">${esc(n.name)}</span></p>${messagesSection(n)}`;
        }
      }
      panel.innerHTML = out;
      return;
    }
    const o = selection.origin;
    let out = '';
    if (o.node !== undefined) {
      const n = nodes[o.node];
      out += `<h3>${wrapName(n.name)}</h3><dl class="kv"><dt>kind</dt><dd>${KIND_NAMES[n.kind]}</dd>`;
      if (n.op) out += `<dt>operation</dt><dd>${esc(n.op)}</dd>`;
      out += `<dt>shape</dt><dd>${esc(shapeText(n.shape))}</dd>`;
      if (n.output) out += '<dt>output</dt><dd>a model output: its channels are kept</dd>';
      out += '</dl>' + messagesSection(n);
      if (n.sets.length > 1) {
        out += '<h4>Its channels belong to</h4><p class="sets">' +
          n.sets.map((s) => `<span class="link" data-set="${s}">${swatch(s)} set ${s}</span>`).join('') + '</p>';
      }
      if (n.params.length) {
        out += '<h4>Parameters</h4><p>' + n.params.map((p) =>
          `<span class="link" data-param="${p}" data-dim="-1">${esc(nodes[p].name)}</span>`).join(', ') + '</p>';
      }
      out += '<hr>';
    } else if (o.param !== undefined) {
      const p = params.get(o.param);
      out += `<h3>${wrapName(p.name)}</h3><dl class="kv"><dt>shape</dt><dd>${esc(shapeText(nodes[p.id].shape))}</dd>` +
        `<dt>dimension</dt><dd>${o.dim >= 0 ? o.dim : 'none with channels'}</dd>` +
        `<dt>elements</dt><dd>${fmt(p.elements)} (${pct(p.elements ? p.prunableElements / p.elements : 0)} prunable)</dd></dl>`;
      const others = p.dims.filter((d) => d.set >= 0 && d.dim !== o.dim);
      if (others.length) {
        out += '<p class="sets">Other dimensions: ' + others.map((d) =>
          `<span class="link" data-param="${p.id}" data-dim="${d.dim}">${swatch(d.set)} dim ${d.dim}</span>`).join('') + '</p>';
      }
      out += '<hr>';
    }
    panel.innerHTML = out + setSection(selection.set);
  }
  panel.addEventListener('click', (ev) => {
    const link = ev.target.closest('.link');
    if (!link) return;
    if (link.dataset.param !== undefined) selectParam(Number(link.dataset.param), Number(link.dataset.dim), true);
    else if (link.dataset.node !== undefined) { selectNode(Number(link.dataset.node)); revealNode(Number(link.dataset.node)); }
    else if (link.dataset.set !== undefined) select(Number(link.dataset.set), selection ? selection.origin : {});
  });

  // ---- Summary, module bars and the parameter table -------------------------------------------

  function showFigures() {
    const s = data.summary;
    const prunableSets = sets.filter((x) => x.prunable > 0).length;
    let status;
    if (data.error) {
      status = `<div class="status stopped">parse stopped at ${esc(nodes[data.error.node].name)}: ${esc(data.error.kind)}</div>`;
    } else {
      status = '<div class="status ok">parse complete</div>';
    }
    document.getElementById('figures').innerHTML =
      `<div class="model">${esc(data.model || 'model')}</div>${status}` +
      `<div class="share"><b>${pct(s.prunable_share)}</b><span>of parameter elements prunable</span></div>` +
      `<div class="share-of">${compact(s.prunable_parameter_elements)} of ${compact(s.parameter_elements)}</div><dl>` +
      `<dt>nodes</dt><dd>${fmt(s.nodes)}: ${fmt(s.inputs)} input${s.inputs === 1 ? '' : 's'}, ` +
      `${s.constants ? `${fmt(s.constants)} constant${s.constants === 1 ? '' : 's'}, ` : ''}` +
      `${fmt(s.parameters)} parameters, ${fmt(s.calls)} calls</dd>` +
      (data.rules ? `<dt>rules</dt><dd>${esc(data.rules)}</dd>` : '') +
      `<dt>channel classes</dt><dd>${fmt(s.channel_classes)} (${fmt(s.prunable_classes)} prunable)</dd>` +
      `<dt>tied sets</dt><dd>${fmt(sets.length)} (${fmt(prunableSets)} prunable)</dd>` +
      `<dt>warnings</dt><dd>${fmt(s.warnings)}${s.recovered_errors ? `, ${fmt(s.recovered_errors)} recovered errors` : ''}</dd></dl>`;
    document.title = `${data.model} \u00B7 zavo view`;
  }

  // Top-level modules by parameter name; when there are few, the largest is split further.
  function showBars() {
    const list = [...params.values()];
    let bars = [{ prefix: '', members: list }];
    const split = (bar) => {
      const depth = bar.prefix ? bar.prefix.split('.').length : 0;
      const by = new Map();
      for (const p of bar.members) {
        const parts = p.name.split('.');
        const key = parts.slice(0, Math.min(depth + 1, Math.max(parts.length - 1, 1))).join('.');
        (by.get(key) || by.set(key, []).get(key)).push(p);
      }
      return [...by].map(([prefix, members]) => ({ prefix, members }));
    };
    bars = split(bars[0]);
    for (let guard = 0; guard < 4 && bars.length < 4; guard++) {
      let big = null;
      for (const b of bars) if (split(b).length > 1 && (!big || b.members.length > big.members.length)) big = b;
      if (!big) break;
      const at = bars.indexOf(big);
      bars.splice(at, 1, ...split(big));
    }
    for (const b of bars) {
      b.elements = b.members.reduce((k, p) => k + p.elements, 0);
      b.prunable = b.members.reduce((k, p) => k + p.prunableElements, 0);
    }
    let shown = bars;
    if (bars.length > 30) {
      shown = [...bars].sort((a, b) => b.elements - a.elements).slice(0, 29);
      const rest = bars.filter((b) => !shown.includes(b));
      shown.push({ prefix: `${rest.length} others`, elements: rest.reduce((k, b) => k + b.elements, 0),
                   prunable: rest.reduce((k, b) => k + b.prunable, 0) });
    }
    const max = Math.max(1, ...shown.map((b) => b.elements));
    const bar = document.getElementById('bars');
    bar.onclick = (ev) => {
      const row = ev.target.closest('.bar-row');
      const prefix = row && row.dataset.prefix;
      const hit = prefix && drawn.find((n) => n.name === prefix || n.name.startsWith(prefix + '.') ||
        n.params.some((p) => nodes[p].name.startsWith(prefix + '.')));
      if (hit) revealNode(hit.id);
    };
    bar.innerHTML = shown.map((b) => {
      const share = b.elements ? b.prunable / b.elements : 0;
      return `<div class="bar-row" data-prefix="${b.members ? esc(b.prefix) : ''}" title="${esc(b.prefix)}: ${fmt(b.prunable)} of ${fmt(b.elements)} elements prunable">` +
        `<span class="name">${esc(b.prefix)}</span><span class="track">` +
        `<span class="total" style="width:${(100 * b.elements) / max}%"></span>` +
        `<span class="part" style="width:${(100 * b.prunable) / max}%"></span></span>` +
        `<span class="pct">${pct(share)}</span></div>`;
    }).join('');
  }

  const table = document.getElementById('param-table');
  const tableBody = table.querySelector('tbody');
  const sortKeys = {
    order: (p) => p.order,
    name: (p) => p.name,
    shape: (p) => (nodes[p.id].shape || []).length * 1e15 + p.elements,
    channels: (p) => p.dims.reduce((k, d) => k + d.prunable, 0),
    elements: (p) => p.elements,
    share: (p) => (p.elements ? p.prunableElements / p.elements : 0),
  };
  let sortState = { key: 'order', dir: 1 };
  function showTable() {
    const rows = [...params.values()];
    const key = sortKeys[sortState.key];
    rows.sort((a, b) => {
      const x = key(a), y = key(b);
      return (x < y ? -1 : x > y ? 1 : a.order - b.order) * sortState.dir;
    });
    tableBody.innerHTML = rows.map((p) => {
      const dims = !p.reached ? '<span class="dim none">not reached by the parse</span>' : p.dims.map((d) => d.set >= 0
        ? `<span class="dim">${swatchSmall(d.set)}${fmt(d.prunable)}/${fmt(d.size)}</span>`
        : `<span class="dim none">${fmt(d.prunable)}/${fmt(d.size)}</span>`).join('');
      return `<tr data-param="${p.id}"><td class="num">${p.order + 1}</td><td class="name">${esc(p.name)}</td>` +
        `<td>${esc(shapeText(nodes[p.id].shape))}</td><td>${dims}</td><td class="num">${fmt(p.elements)}</td>` +
        `<td class="num">${pct(p.elements ? p.prunableElements / p.elements : 0)}</td></tr>`;
    }).join('');
    for (const th of table.querySelectorAll('th')) {
      if (th.dataset.sort === sortState.key) th.setAttribute('aria-sort', sortState.dir > 0 ? 'ascending' : 'descending');
      else th.removeAttribute('aria-sort');
    }
    applySelection();
  }
  function swatchSmall(set) { return `<i style="background:${colour(set).solid}"></i>`; }
  table.querySelector('thead').addEventListener('click', (ev) => {
    const th = ev.target.closest('th');
    if (!th) return;
    const key = th.dataset.sort;
    // Numbers open largest first, text in alphabetical order.
    const firstDir = key === 'name' || key === 'order' ? 1 : -1;
    sortState = sortState.key === key ? { key, dir: -sortState.dir } : { key, dir: firstDir };
    showTable();
  });
  tableBody.addEventListener('click', (ev) => {
    const row = ev.target.closest('tr');
    if (row) selectParam(Number(row.dataset.param), -1, true);
  });

  // ---- Toolbar -----------------------------------------------------------------------------

  document.getElementById('toolbar').addEventListener('click', (ev) => {
    const b = ev.target.closest('button');
    if (!b) return;
    const action = b.dataset.action;
    if (action === 'expand') expanded = new Set(tree);
    if (action === 'collapse') expanded = new Set();
    if (action === 'overview') expanded = openingLevel();
    if (action !== 'fit') render();
    fit(true);
  });
  document.getElementById('search').addEventListener('keydown', (ev) => {
    if (ev.key !== 'Enter') return;
    const text = ev.target.value.trim().toLowerCase();
    if (!text) return;
    const hit = nodes.find((n) => n.name.toLowerCase() === text) ||
      nodes.find((n) => n.name.toLowerCase().includes(text));
    if (!hit) { ev.target.style.borderColor = '#d64545'; return; }
    ev.target.style.borderColor = '';
    if (hit.kind === 1) selectParam(hit.id, -1, true);
    else { selectNode(hit.id); revealNode(hit.id); }
  });

  // ---- Start ------------------------------------------------------------------------------

  expanded = openingLevel();
  showFigures();
  showBars();
  showTable();
  render();
  fit(false);
  showPanel();
  window.addEventListener('resize', () => fit(false));
  document.documentElement.dataset.ready = 'true';
  document.documentElement.dataset.readyMs = String(Math.round(performance.now()));
})();
