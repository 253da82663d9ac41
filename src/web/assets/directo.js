// The live page follows the watcher's refreshes through its server-sent events: the rows that
// changed, the caption, and what is wrong. Station texts are set as text, never as HTML.
'use strict';

(() => {
  const title = document.getElementById('titulo');
  const warning = document.getElementById('aviso');
  const note = document.getElementById('nota');
  const cut = document.getElementById('recorte');
  const clock = document.getElementById('hora');
  const rows = document.querySelector('#estaciones tbody');

  const show = (element, text) => {
    element.textContent = text;
    element.hidden = text === '';
  };

  const fill = (tr, row) => {
    while (tr.cells.length < 8) {
      const td = tr.insertCell();
      const index = tr.cells.length - 1;
      if (index === 0 || index === 3 || index === 6) {
        td.className = 'n';
      }
    }
    for (let c = 0; c < 7; c++) {
      if (tr.cells[c].textContent !== row[c]) {
        tr.cells[c].textContent = row[c];
      }
    }
    tr.cells[7].textContent = row[8] === null ? '' : row[8];
    tr.classList.toggle('conectado', row[7]);
  };

  const resize = (count) => {
    while (rows.rows.length > count) {
      rows.deleteRow(-1);
    }
    while (rows.rows.length < count) {
      rows.insertRow();
    }
  };

  const header = (data) => {
    if (clock && data.refreshed) {
      clock.textContent = data.refreshed;
    }
    if (data.caption === undefined) {
      return;
    }
    title.textContent = data.caption;
    document.title = data.caption + ' · Orvendal';
    show(warning, data.warning);
    show(note, data.note);
    cut.hidden = data.listed >= data.total;
    document.body.classList.toggle('detenido', !data.running);
    document.body.classList.toggle('sin-acceso', data.outage);
  };

  const source = new EventSource('/api/eventos');
  source.addEventListener('estado', (event) => {
    const data = JSON.parse(event.data);
    resize(data.rows.length);
    data.rows.forEach((row, i) => fill(rows.rows[i], row));
    header(data);
  });
  source.addEventListener('cambio', (event) => {
    const data = JSON.parse(event.data);
    resize(data.listed);
    for (const [i, row] of data.changes) {
      fill(rows.rows[i], row);
    }
    header(data);
  });
  source.addEventListener('lectura', (event) => header(JSON.parse(event.data)));
  source.addEventListener('error', () => {
    if (document.body.classList.contains('detenido')) {
      source.close();
    } else if (source.readyState === EventSource.CLOSED) {
      show(warning, 'La página ya no se actualiza: el vigilante no la atiende. Recárguela.');
    } else {
      // The next 'estado' after the reconnection says again what is wrong, if anything.
      show(warning, 'Se perdió la conexión con el vigilante; reintentando…');
    }
  });
})();
