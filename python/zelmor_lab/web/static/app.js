// The zelmor-lab page: the run's game list, the replay of a stored game, the analysis of a position by
// the network and the search, and play against computer seats. Every position is the list of tiles taken
// from a new board; the server replays it and answers what the rules say (legal tiles, pieces, scores),
// so nothing of the rules is repeated here. A tile is row * dim + column; its name is the column's letter
// and the row's number from 1, as in the command line's pictures.
"use strict";

const $ = (id) => document.getElementById(id);
const LETTERS = "abcdefghijklmnopqrstuvwxyz";
const HUMAN = "human";
const KIND_NAMES = {human: "human", random: "random", heuristic: "heuristic", greedy: "network, greedy",
                    search: "network + search"};

const state = {
  info: null, games: [], sort: {key: "index", dir: 1},
  mode: "games",
  replay: null,       // {entry, position, policies, step}
  play: null,         // {seats, tiles, position, generation, busy}
  analysis: null,     // {key, policy, value, visits, searched_by}
};

// ---- talking to the server -------------------------------------------------------------------------

async function request(url, body) {
  const options = body === undefined ? {} :
    {method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body)};
  const response = await fetch(url, options);
  const answer = await response.json();
  if (!response.ok) throw new Error(answer.error || `${response.status} ${response.statusText}`);
  return answer;
}

function tileName(tile) {
  const dim = state.info.dim;
  return `${LETTERS[tile % dim]}${Math.floor(tile / dim) + 1}`;
}

function setStatus(text, refused = false) {
  const status = $("status");
  status.textContent = text;
  status.classList.toggle("refused", refused);
}

// ---- the game list ---------------------------------------------------------------------------------

const SORT_KEYS = {
  index: (g) => g.index, id: (g) => g.id, node: (g) => g.node, model: (g) => g.model, length: (g) => g.length,
  score0: (g) => (g.scores ? Math.max(...g.scores) : -Infinity), winners: (g) => g.winners.join(","),
  finished_at: (g) => g.finished_at,
};

function dot(player) {
  return `<span class="dot" style="background:${state.info.colours[player + 1]}"></span>`;
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"})[c]);
}

function renderGames() {
  const words = $("filter").value.toLowerCase().split(/\s+/).filter(Boolean);
  const key = SORT_KEYS[state.sort.key];
  const shown = state.games.filter((g) => {
    const text = `${g.index} ${g.id} ${g.node} ${g.model} winner:${g.winners.join(",")} ${g.finished_at}`.toLowerCase();
    return words.every((w) => text.includes(w));
  }).sort((a, b) => {
    const x = key(a), y = key(b);
    return (x < y ? -1 : x > y ? 1 : a.index - b.index) * state.sort.dir;
  });
  $("games").querySelector("tbody").innerHTML = shown.map((g) => {
    const scores = g.scores ? g.scores.map((s, p) => g.winners.includes(p) ? `<b>${s}</b>` : s).join(" / ")
                            : `<span class="problem">${escapeHtml(g.problem)}</span>`;
    return `<tr data-index="${g.index}"><td>${g.index}</td><td>${escapeHtml(g.id)}</td><td>${escapeHtml(g.node)}</td>` +
      `<td>${escapeHtml(g.model)}</td><td>${g.length}</td><td>${scores}</td>` +
      `<td>${g.winners.map(dot).join(" ")}</td><td>${escapeHtml(g.finished_at.replace("T", " "))}</td></tr>`;
  }).join("");
  $("games-count").textContent = `${shown.length} of ${state.games.length} games`;
  for (const th of $("games").querySelectorAll("th")) {
    th.classList.toggle("asc", th.dataset.key === state.sort.key && state.sort.dir > 0);
    th.classList.toggle("desc", th.dataset.key === state.sort.key && state.sort.dir < 0);
  }
}

async function loadGames() {
  state.games = await request("/api/games");
  renderGames();
}

// ---- views -----------------------------------------------------------------------------------------

function showView(mode) {
  state.mode = mode;
  for (const tab of document.querySelectorAll("nav .tab")) tab.classList.toggle("active", tab.dataset.view === mode);
  $("games-view").classList.toggle("hidden", mode !== "games");
  $("board-view").classList.toggle("hidden", mode === "games");
  $("replay-controls").classList.toggle("hidden", mode !== "replay");
  $("play-controls").classList.toggle("hidden", mode !== "play");
  $("heat-stored-label").classList.toggle("hidden", mode !== "replay");
  if (mode === "play" && state.heat() === "stored") setHeat("none");
  if (mode === "replay" && !state.replay) setStatus("choose a game in the list");
  if (mode === "play" && !state.play) newGame();
  else if (mode !== "games") render();
}

state.heat = () => document.querySelector("input[name=heat]:checked").value;
function setHeat(value) { document.querySelector(`input[name=heat][value=${value}]`).checked = true; }

// The position on the board now: its tiles and what the server said of them.
function current() {
  if (state.mode === "replay" && state.replay) {
    const {position, step} = state.replay;
    return {position, count: step, toAct: step < position.tiles.length ? position.players[step] : null};
  }
  if (state.mode === "play" && state.play && state.play.position) {
    const position = state.play.position;
    return {position, count: position.tiles.length, toAct: position.current_player};
  }
  return null;
}

function currentTiles() {
  const now = current();
  return now ? now.position.tiles.slice(0, now.count) : [];
}

// ---- replay ----------------------------------------------------------------------------------------

async function openGame(index) {
  try {
    const game = await request(`/api/games/${index}`);
    state.replay = {entry: game.entry, position: game.position, policies: game.policies, step: 0};
    state.analysis = null;
    $("step").max = game.position.tiles.length;
    location.hash = `game=${index}`;
    showView("replay");
    setStep(0);
  } catch (error) {
    showView("replay");
    setStatus(error.message, true);
  }
}

function setStep(step) {
  const replay = state.replay;
  if (!replay) return;
  replay.step = Math.max(0, Math.min(step, replay.position.tiles.length));
  $("step").value = replay.step;
  const total = replay.position.tiles.length;
  $("step-label").textContent = `action ${replay.step} of ${total}`;
  if (replay.step < total) {
    const player = replay.position.players[replay.step];
    setStatus(`player ${player} takes ${tileName(replay.position.tiles[replay.step])} next`);
  } else {
    const e = replay.entry;
    setStatus(`game over: scores ${e.scores.join(" / ")}, won by player ${e.winners.join(" and ")}`);
  }
  render();
  if ($("auto-analyse").checked) analyse();
}

// ---- play ------------------------------------------------------------------------------------------

function seatKinds() {
  return [...$("seats").querySelectorAll("select")].map((s) => s.value);
}

async function newGame() {
  const generation = (state.play ? state.play.generation : 0) + 1;
  state.play = {seats: seatKinds(), tiles: [], position: null, generation, busy: false};
  state.analysis = null;
  $("save").disabled = true;
  setStatus("setting up a new game…");
  await setPlayTiles([], generation);
}

// A new game or an undo raises the generation: answers that arrive for an older one are dropped, and its
// computer seats stop moving.
function isCurrent(generation) {
  return state.play !== null && state.play.generation === generation;
}

// From here until a human is to act again, or a request fails, the board refuses clicks.
async function setPlayTiles(tiles, generation) {
  const play = state.play;
  play.busy = true;
  try {
    const position = await request("/api/position", {tiles});
    if (!isCurrent(generation)) return;
    play.position = position;
    play.tiles = position.tiles;
    render();
    await advance(generation);
  } catch (error) {
    if (isCurrent(generation)) setStatus(error.message, true);
  } finally {
    if (isCurrent(generation)) play.busy = false;
  }
}

// Computer seats move until a human is to act or the game is over.
async function advance(generation) {
  const play = state.play;
  while (!play.position.finished && play.seats[play.position.current_player] !== HUMAN) {
    const player = play.position.current_player;
    setStatus(`player ${player} (${KIND_NAMES[play.seats[player]]}) is thinking…`);
    const pause = Number($("bot-pause").value);
    if (pause) await new Promise((resolve) => setTimeout(resolve, pause));
    if (!isCurrent(generation)) return;
    const answer = await request("/api/move", {tiles: play.tiles, kind: play.seats[player],
                                               sims: Number($("seat-sims").value)});
    if (!isCurrent(generation)) return;
    play.position = answer.position;
    play.tiles = answer.position.tiles;
    render();
  }
  const position = play.position;
  if (position.finished) {
    const winners = position.payoff.map((x, p) => (x > 0 ? p : -1)).filter((p) => p >= 0);
    setStatus(`game over: scores ${position.scores.join(" / ")}, won by player ${winners.join(" and ")}`);
    $("save").disabled = false;
  } else {
    const piece = position.turn_tiles.length ? ` (${position.turn_tiles.length} tiles of this piece taken)` : "";
    setStatus(`your turn, player ${position.current_player}: click a marked tile${piece}`);
  }
  if ($("auto-analyse").checked && !position.finished) analyse();
}

async function humanClick(tile) {
  const play = state.play;
  if (!play) return;
  const waiting = "refused: the board is still being brought up to date";
  if (!play.position) return setStatus(waiting, true);
  const position = play.position;
  if (position.finished) return setStatus("the game is over", true);
  if (play.seats[position.current_player] !== HUMAN) {
    return setStatus(`refused: player ${position.current_player} (${KIND_NAMES[play.seats[position.current_player]]}) is to act`, true);
  }
  if (play.busy) return setStatus(waiting, true);
  if (!position.legal.includes(tile)) {
    return setStatus(`refused: ${tileName(tile)} is not a legal tile for player ${position.current_player}`, true);
  }
  state.analysis = null;
  await setPlayTiles([...play.tiles, tile], play.generation);
}

async function undo() {
  const play = state.play;
  if (!play || !play.position) return;
  const players = play.position.players;
  let last = players.length - 1;
  while (last >= 0 && play.seats[players[last]] !== HUMAN) last--;
  if (last < 0) return setStatus("nothing of yours to take back", true);
  play.generation += 1;
  state.analysis = null;
  $("save").disabled = true;
  await setPlayTiles(play.tiles.slice(0, last), play.generation);
}

async function save() {
  try {
    const saved = await request("/api/save", {tiles: state.play.tiles, seats: state.play.seats});
    $("save").disabled = true;
    setStatus(`saved as game ${saved.index} (${saved.id})`);
    await loadGames();
  } catch (error) {
    setStatus(error.message, true);
  }
}

// ---- analysis --------------------------------------------------------------------------------------

async function analyse() {
  const now = current();
  if (!now) return;
  if (now.toAct === null) { $("analysis").textContent = "the game is over: there is nothing to analyse"; return; }
  const tiles = currentTiles();
  const sims = Number($("analysis-sims").value) || 0;
  const key = JSON.stringify([tiles, sims]);
  $("analysis").textContent = "analysing…";
  try {
    const answer = await request("/api/analyse", {tiles, sims});
    if (JSON.stringify([currentTiles(), Number($("analysis-sims").value) || 0]) !== key) return;
    state.analysis = {key: JSON.stringify(tiles), ...answer};
    if (state.heat() === "none" || state.heat() === "stored") setHeat(answer.visits ? "visits" : "policy");
    render();
  } catch (error) {
    $("analysis").textContent = error.message;
  }
}

function analysisNow() {
  return state.analysis && state.analysis.key === JSON.stringify(currentTiles()) ? state.analysis : null;
}

function topTiles(values, count) {
  return values.map((v, t) => [t, v]).filter(([, v]) => v > 0).sort((a, b) => b[1] - a[1]).slice(0, count);
}

function renderAnalysis() {
  const box = $("analysis");
  const analysis = analysisNow();
  if (!analysis) { if (!box.textContent.startsWith("analysing")) box.innerHTML = ""; return; }
  let html = "";
  if (analysis.value) {
    html += "<div>value (chance of winning) per player</div>" + analysis.value.map((v, p) =>
      `<div class="value-bar">${dot(p)} ${(100 * v).toFixed(1)}%` +
      `<span class="bar" style="width:${Math.round(200 * v)}px;background:${state.info.colours[p + 1]}"></span></div>`).join("");
    html += "<div>policy: " + topTiles(analysis.policy, 5).map(([t, v]) => `${tileName(t)} ${(100 * v).toFixed(1)}%`).join(", ") + "</div>";
  } else {
    html += "<div>no network loaded: start the server with --model for its policy and value</div>";
  }
  if (analysis.visits) {
    const total = analysis.visits.reduce((a, b) => a + b, 0);
    html += `<div>search (${escapeHtml(analysis.searched_by)}), ${total} visits: ` +
      topTiles(analysis.visits, 5).map(([t, v]) => `${tileName(t)} ${v}`).join(", ") + "</div>";
  }
  box.innerHTML = html;
}

// ---- drawing ---------------------------------------------------------------------------------------

const MARGIN = 22;

function boardGeometry() {
  const dim = state.info.dim;
  const cell = Math.max(8, Math.min(30, Math.floor((640 - 2 * MARGIN) / dim)));
  return {dim, cell, size: 2 * MARGIN + cell * dim};
}

function heatValues(now) {
  const heat = state.heat();
  const dim = state.info.dim;
  if (heat === "stored" && state.mode === "replay" && now.count < now.position.tiles.length) {
    const values = new Array(dim * dim).fill(0);
    for (const [tile, p] of state.replay.policies[now.count]) values[tile] = p;
    return values;
  }
  const analysis = analysisNow();
  if (!analysis) return null;
  if (heat === "policy") return analysis.policy;
  if (heat === "visits") return analysis.visits;
  return null;
}

function render() {
  if (state.mode === "games" || !state.info) return;
  const canvas = $("board");
  const {dim, cell, size} = boardGeometry();
  canvas.width = canvas.height = size;
  Object.assign(canvas.dataset, {dim, cell, margin: MARGIN});
  const ctx = canvas.getContext("2d");
  ctx.clearRect(0, 0, size, size);
  const now = current();
  const colours = state.info.colours;
  const owner = new Array(dim * dim).fill(-1);
  const piece = new Array(dim * dim).fill(-1);
  if (now) {
    for (let i = 0; i < now.count; i++) {
      owner[now.position.tiles[i]] = now.position.players[i];
      piece[now.position.tiles[i]] = now.position.piece[i];
    }
  }
  const x = (column) => MARGIN + column * cell;
  // squares
  for (let t = 0; t < dim * dim; t++) {
    ctx.fillStyle = colours[owner[t] + 1];
    ctx.fillRect(x(t % dim) + 0.5, x(Math.floor(t / dim)) + 0.5, cell - 1, cell - 1);
  }
  // coordinates
  ctx.fillStyle = "#555";
  ctx.font = `${Math.min(12, cell - 2)}px system-ui, sans-serif`;
  ctx.textAlign = "center";
  ctx.textBaseline = "middle";
  for (let i = 0; i < dim; i++) {
    const middle = x(i) + cell / 2;
    ctx.fillText(LETTERS[i], middle, MARGIN / 2);
    ctx.fillText(LETTERS[i], middle, size - MARGIN / 2);
    ctx.fillText(String(i + 1), MARGIN / 2, middle);
    ctx.fillText(String(i + 1), size - MARGIN / 2, middle);
  }
  // piece outlines: wherever two sides of a square edge belong to different pieces
  ctx.strokeStyle = "#222";
  ctx.lineWidth = 2;
  ctx.beginPath();
  const at = (r, c) => (r < 0 || c < 0 || r >= dim || c >= dim ? -1 : piece[r * dim + c]);
  for (let r = 0; r <= dim; r++) {
    for (let c = 0; c <= dim; c++) {
      const here = at(r, c);
      if (c < dim && here !== at(r - 1, c) && Math.max(here, at(r - 1, c)) >= 0) {
        ctx.moveTo(x(c), x(r)); ctx.lineTo(x(c + 1), x(r));
      }
      if (r < dim && here !== at(r, c - 1) && Math.max(here, at(r, c - 1)) >= 0) {
        ctx.moveTo(x(c), x(r)); ctx.lineTo(x(c), x(r + 1));
      }
    }
  }
  ctx.stroke();
  if (!now) return;
  // heat map over the empty squares, with the share written where it is large enough to matter
  const heat = heatValues(now);
  if (heat) {
    const total = heat.reduce((a, b) => a + b, 0) || 1;
    const most = Math.max(...heat) || 1;
    ctx.font = `${Math.max(7, Math.min(11, cell / 2.6))}px system-ui, sans-serif`;
    for (let t = 0; t < dim * dim; t++) {
      if (heat[t] <= 0) continue;
      ctx.fillStyle = `rgba(110, 30, 170, ${0.12 + 0.78 * heat[t] / most})`;
      ctx.fillRect(x(t % dim) + 1, x(Math.floor(t / dim)) + 1, cell - 2, cell - 2);
      const share = heat[t] / total;
      if (cell >= 18 && share >= 0.02) {
        ctx.fillStyle = "#fff";
        ctx.fillText(`${Math.round(100 * share)}`, x(t % dim) + cell / 2, x(Math.floor(t / dim)) + cell / 2);
      }
    }
  }
  // the tile taken next in a replay; the legal tiles of a human's turn in play
  if (state.mode === "replay" && now.count < now.position.tiles.length) {
    const t = now.position.tiles[now.count];
    ctx.strokeStyle = colours[now.position.players[now.count] + 1];
    ctx.lineWidth = 3;
    ctx.strokeRect(x(t % dim) + 2, x(Math.floor(t / dim)) + 2, cell - 4, cell - 4);
  }
  const humanTurn = state.mode === "play" && !now.position.finished &&
    state.play.seats[now.position.current_player] === HUMAN;
  canvas.dataset.actions = now.count;
  canvas.dataset.legal = humanTurn ? now.position.legal.join(",") : "";
  if (humanTurn) {
    ctx.fillStyle = colours[now.position.current_player + 1];
    ctx.strokeStyle = "#222";
    ctx.lineWidth = 1;
    for (const t of now.position.legal) {
      ctx.beginPath();
      ctx.arc(x(t % dim) + cell / 2, x(Math.floor(t / dim)) + cell / 2, cell / 5, 0, 2 * Math.PI);
      ctx.fill();
      ctx.stroke();
    }
  }
  renderPlayers(now);
  renderMeta();
  renderAnalysis();
}

function renderPlayers(now) {
  const placed = [[], [], [], []];
  const squares = [0, 0, 0, 0];
  for (let i = 0; i < now.count; i++) {
    squares[now.position.players[i]] += 1;
    if (now.position.placed[i] >= 0) placed[now.position.players[i]].push(now.position.placed[i]);
  }
  const box = $("players");
  box.innerHTML = "";
  for (let p = 0; p < 4; p++) {
    const row = document.createElement("div");
    row.className = "player" + (now.toAct === p ? " to-act" : "");
    const kind = state.mode === "play" ? ` (${KIND_NAMES[state.play.seats[p]]})` : "";
    const score = now.count === now.position.tiles.length ? `score ${now.position.scores[p]}` : `${squares[p]} squares`;
    row.innerHTML = `${dot(p)}<span class="name">player ${p}${kind}<br><small>${score}</small></span>`;
    row.appendChild(piecesLeft(p, new Set(placed[p])));
    box.appendChild(row);
  }
}

// Each player's 21 pieces in rows, the placed ones faint.
function piecesLeft(player, placed) {
  const unit = 6, gap = 5, width = 290;
  const shapes = state.info.pieces;
  const spots = [];
  let left = 0, top = 0, rowHeight = 0;
  for (const piece of shapes) {
    const w = piece.shape[0].length * unit, h = piece.shape.length * unit;
    if (left + w > width) { left = 0; top += rowHeight + gap; rowHeight = 0; }
    spots.push([piece, left, top]);
    left += w + gap;
    rowHeight = Math.max(rowHeight, h);
  }
  const canvas = document.createElement("canvas");
  canvas.width = width;
  canvas.height = top + rowHeight;
  const ctx = canvas.getContext("2d");
  for (const [piece, x, y] of spots) {
    ctx.fillStyle = placed.has(piece.id) ? "#e4e4e4" : state.info.colours[player + 1];
    piece.shape.forEach((row, r) => row.forEach((filled, c) => {
      if (filled) ctx.fillRect(x + c * unit, y + r * unit, unit - 1, unit - 1);
    }));
  }
  canvas.title = `${shapes.length - placed.size} pieces left`;
  return canvas;
}

function renderMeta() {
  const meta = $("game-meta");
  if (state.mode === "replay" && state.replay) {
    const e = state.replay.entry;
    meta.innerHTML = `<b>game ${e.index}</b> ${escapeHtml(e.id)}<br>node ${escapeHtml(e.node)}, network ` +
      `${escapeHtml(e.model)}, ${e.length} actions`;
  } else if (state.mode === "play") {
    meta.innerHTML = "<b>play</b>: choose the seats, then New game";
  }
}

function tileAt(event) {
  const canvas = $("board");
  const {dim, cell} = boardGeometry();
  // The style sheet sizes the board to the window, so the canvas is drawn larger or smaller than its
  // pixels: take the pointer back into the canvas's own pixels before finding the square.
  const box = canvas.getBoundingClientRect();
  const x = (event.clientX - box.left - canvas.clientLeft) * (canvas.width / canvas.clientWidth);
  const y = (event.clientY - box.top - canvas.clientTop) * (canvas.height / canvas.clientHeight);
  const column = Math.floor((x - MARGIN) / cell);
  const row = Math.floor((y - MARGIN) / cell);
  return column >= 0 && row >= 0 && column < dim && row < dim ? row * dim + column : null;
}

// ---- start -----------------------------------------------------------------------------------------

function seatSelectors() {
  const box = $("seats");
  for (let p = 0; p < 4; p++) {
    const select = document.createElement("select");
    select.title = `player ${p}`;
    for (const kind of state.info.seat_kinds) {
      const option = new Option(`${p}: ${KIND_NAMES[kind]}`, kind);
      option.disabled = (kind === "greedy" || kind === "search") && !state.info.network;
      select.appendChild(option);
    }
    select.value = p === 0 ? HUMAN : state.info.network ? "greedy" : "heuristic";
    select.style.borderLeft = `6px solid ${state.info.colours[p + 1]}`;
    box.appendChild(select);
  }
}

async function start() {
  state.info = await request("/api/run");
  $("run-name").textContent = `${state.info.name}, ${state.info.dim} × ${state.info.dim}`;
  $("network").textContent = state.info.network ? `network ${state.info.network.digest} (step ${state.info.network.step})`
                                                 : "no network loaded";
  $("analysis-sims").max = state.info.max_sims;
  seatSelectors();
  for (const tab of document.querySelectorAll("nav .tab")) tab.addEventListener("click", () => showView(tab.dataset.view));
  $("filter").addEventListener("input", renderGames);
  for (const th of $("games").querySelectorAll("th")) {
    th.addEventListener("click", () => {
      state.sort = {key: th.dataset.key, dir: state.sort.key === th.dataset.key ? -state.sort.dir : 1};
      renderGames();
    });
  }
  $("games").querySelector("tbody").addEventListener("click", (event) => {
    const row = event.target.closest("tr");
    if (row) openGame(Number(row.dataset.index));
  });
  $("step").addEventListener("input", () => setStep(Number($("step").value)));
  $("first").addEventListener("click", () => setStep(0));
  $("back").addEventListener("click", () => setStep(state.replay.step - 1));
  $("forward").addEventListener("click", () => setStep(state.replay.step + 1));
  $("last").addEventListener("click", () => setStep(Infinity));
  document.addEventListener("keydown", (event) => {
    if (state.mode !== "replay" || !state.replay || event.target.matches("input, select")) return;
    const moves = {ArrowLeft: -1, ArrowRight: 1, Home: -Infinity, End: Infinity};
    if (!(event.key in moves)) return;
    event.preventDefault();
    const step = moves[event.key];
    setStep(Number.isFinite(step) ? state.replay.step + step : step);
  });
  for (const radio of document.querySelectorAll("input[name=heat]")) radio.addEventListener("change", render);
  $("analyse").addEventListener("click", analyse);
  $("board").addEventListener("click", (event) => {
    const tile = tileAt(event);
    if (tile !== null && state.mode === "play") humanClick(tile);
  });
  $("new-game").addEventListener("click", newGame);
  $("undo").addEventListener("click", undo);
  $("save").addEventListener("click", save);
  await loadGames();
  const game = /^#game=(\d+)$/.exec(location.hash);
  if (game) await openGame(Number(game[1]));
  else if (location.hash === "#play") showView("play");
  document.body.dataset.ready = "true";
}

start().catch((error) => { document.body.textContent = `zelmor-lab: ${error.message}`; });
