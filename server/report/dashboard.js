// The fleet report's own script: filters the embedded daily rollups by the
// chosen days, draws each view with Chart.js and writes the numbers it drew
// into a table beneath it. Every text from clients (event names, OS names,
// versions) enters the page through textContent or Chart.js's canvas text,
// never as markup.
(function () {
  'use strict';

  var data = JSON.parse(document.getElementById('tally-data').textContent);
  // Each row: [day, app version, measure, key, value].
  var DAY = 0, VERSION = 1, MEASURE = 2, KEY = 3, VALUE = 4;
  var MAX_DAYS = 3660;  // a range drawn day by day stays readable and bounded
  var PALETTE = ['#4e79a7', '#f28e2b', '#e15759', '#76b7b2', '#59a14f', '#edc948', '#b07aa1',
                 '#ff9da7', '#9c755f', '#bab0ac', '#2f6db5', '#d4a017'];
  var charts = [];

  function color(i) { return PALETTE[i % PALETTE.length]; }
  function versionName(v) { return v === '' ? '(none)' : v; }

  // Every calendar day from `from` to `to`, both included.
  function daysBetween(from, to) {
    var days = [];
    var at = Date.parse(from + 'T00:00:00Z'), end = Date.parse(to + 'T00:00:00Z');
    if (isNaN(at) || isNaN(end)) return days;
    for (; at <= end && days.length < MAX_DAYS; at += 86400000) {
      days.push(new Date(at).toISOString().slice(0, 10));
    }
    return days;
  }

  function rowsOf(measure, from, to) {
    return data.rows.filter(function (r) {
      return r[MEASURE] === measure && r[DAY] >= from && r[DAY] <= to;
    });
  }

  // Sums of `rows` by two keys: table[first][second].
  function sum2(rows, first, second) {
    var table = {};
    rows.forEach(function (r) {
      var a = first(r), b = second(r);
      table[a] = table[a] || {};
      table[a][b] = (table[a][b] || 0) + r[VALUE];
    });
    return table;
  }

  function sum1(rows, key) {
    var table = {};
    rows.forEach(function (r) { table[key(r)] = (table[key(r)] || 0) + r[VALUE]; });
    return table;
  }

  function byDay(r) { return r[DAY]; }
  function byKey(r) { return r[KEY]; }
  function byVersion(r) { return versionName(r[VERSION]); }
  function everything() { return ''; }

  // The keys of `totals` (name -> number), the largest first, ties by name.
  function ranked(totals) {
    return Object.keys(totals).sort(function (a, b) {
      return totals[b] - totals[a] || (a < b ? -1 : a > b ? 1 : 0);
    });
  }

  // One series per key of `series` (a table by day, then key), over `days`.
  function perDay(table, days, keys, stacked) {
    return {
      labels: days,
      datasets: keys.map(function (k, i) {
        return {
          label: k,
          data: days.map(function (d) { return (table[d] && table[d][k]) || 0; }),
          backgroundColor: color(i),
          borderColor: color(i),
          stack: stacked ? 'all' : undefined
        };
      })
    };
  }

  function keysOf(table) {
    var totals = {};
    Object.keys(table).forEach(function (d) {
      Object.keys(table[d]).forEach(function (k) { totals[k] = (totals[k] || 0) + table[d][k]; });
    });
    return ranked(totals);
  }

  var VIEWS = [
    {
      id: 'installations',
      title: 'Installations per day',
      about: 'Installations that reported on each day, summed over app versions ' +
             '(one that changed version that day counts once per version).',
      type: 'line',
      build: function (from, to, days) {
        var table = sum2(rowsOf('installations', from, to), byDay, everything);
        var view = perDay(table, days, [''], false);
        view.datasets[0].label = 'installations';
        return view;
      }
    },
    {
      id: 'events',
      title: 'Events per name per day',
      about: 'Events stored each day, by event name.',
      type: 'bar',
      stacked: true,
      build: function (from, to, days) {
        var table = sum2(rowsOf('events', from, to), byDay, byKey);
        return perDay(table, days, keysOf(table), true);
      }
    },
    {
      id: 'connection-success',
      title: 'Remote-connection success rate (%) per day and app version',
      about: 'Successful remote connections out of all reported, each day, one line per ' +
             'app version; a gap is a day without connections.',
      type: 'line',
      percent: true,
      build: function (from, to, days) {
        var rows = rowsOf('connections', from, to);
        var ok = sum2(rows.filter(function (r) { return r[KEY] === 'success'; }), byDay, byVersion);
        var all = sum2(rows, byDay, byVersion);
        var versions = keysOf(all).sort();
        return {
          labels: days,
          datasets: versions.map(function (v, i) {
            return {
              label: v,
              data: days.map(function (d) {
                var total = (all[d] && all[d][v]) || 0;
                if (total === 0) return null;
                return Math.round(1000 * ((ok[d] && ok[d][v]) || 0) / total) / 10;
              }),
              backgroundColor: color(i),
              borderColor: color(i),
              spanGaps: false
            };
          })
        };
      }
    },
    {
      id: 'duration-levels',
      title: 'Remote-connection duration levels',
      about: 'Remote connections in the range by duration level (1 shortest … 5 longest).',
      type: 'bar',
      build: function (from, to) {
        var totals = sum1(rowsOf('duration_level', from, to), byKey);
        var levels = ['1', '2', '3', '4', '5'];
        Object.keys(totals).sort().forEach(function (k) {
          if (levels.indexOf(k) < 0) levels.push(k);
        });
        return {
          labels: levels,
          datasets: [{
            label: 'remote connections',
            data: levels.map(function (k) { return totals[k] || 0; }),
            backgroundColor: color(0)
          }]
        };
      }
    },
    {
      id: 'os-share',
      title: 'OS versions',
      about: 'Device reports in the range by the OS version they named.',
      type: 'doughnut',
      build: function (from, to) { return share(sum1(rowsOf('os', from, to), byKey), 'device reports'); }
    },
    {
      id: 'version-share',
      title: 'App versions',
      about: 'Installations reporting, summed over the days of the range, by app version.',
      type: 'doughnut',
      build: function (from, to) {
        return share(sum1(rowsOf('installations', from, to), byVersion), 'installation-days');
      }
    },
    {
      id: 'heartbeat-reconnections',
      title: 'Heartbeat reconnections per day by connect mode',
      about: 'Storage heartbeat reconnection events each day, by the connect mode they ended in.',
      type: 'bar',
      stacked: true,
      build: function (from, to, days) {
        var table = sum2(rowsOf('heartbeat_reconnections', from, to), byDay, byKey);
        var modes = keysOf(table).sort();
        return perDay(table, days, modes, true);
      }
    }
  ];

  function share(totals, label) {
    var keys = ranked(totals);
    return {
      labels: keys,
      datasets: [{
        label: label,
        data: keys.map(function (k) { return totals[k]; }),
        backgroundColor: keys.map(function (k, i) { return color(i); })
      }]
    };
  }

  function cssVar(name) {
    return getComputedStyle(document.documentElement).getPropertyValue(name).trim();
  }

  function element(tag, text, attributes) {
    var e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    Object.keys(attributes || {}).forEach(function (a) { e.setAttribute(a, attributes[a]); });
    return e;
  }

  // The numbers a chart draws: a row per label, a column per series. Rows
  // and cells carry their label and series as data attributes for a test.
  function numbersTable(view, chartData) {
    var table = element('table', null, {id: 'table-' + view.id, 'data-view': view.id});
    var head = element('tr');
    head.appendChild(element('th', view.type === 'doughnut' || view.id === 'duration-levels'
                                       ? '' : 'day'));
    chartData.datasets.forEach(function (set) { head.appendChild(element('th', set.label)); });
    table.appendChild(element('thead')).appendChild(head);
    var body = table.appendChild(element('tbody'));
    chartData.labels.forEach(function (label, i) {
      var tr = element('tr', null, {'data-key': label});
      tr.appendChild(element('th', label));
      chartData.datasets.forEach(function (set) {
        var value = set.data[i];
        tr.appendChild(element('td', value === null ? '–' : value,
                               {'data-col': set.label, 'data-value': value === null ? '' : value}));
      });
      body.appendChild(tr);
    });
    return table;
  }

  function options(view) {
    var fg = cssVar('--fg'), line = cssVar('--line');
    var o = {
      animation: false,
      responsive: true,
      maintainAspectRatio: false,
      color: fg,
      plugins: {legend: {labels: {color: fg, boxWidth: 12}}}
    };
    if (view.type !== 'doughnut') {
      o.scales = {
        x: {stacked: !!view.stacked, ticks: {color: fg}, grid: {color: line}},
        y: {stacked: !!view.stacked, beginAtZero: true, ticks: {color: fg, precision: 0},
            grid: {color: line}}
      };
      if (view.percent) o.scales.y.max = 100;
    } else {
      o.plugins.legend.position = 'right';
      o.borderColor = cssVar('--panel');
    }
    return o;
  }

  function render() {
    var started = performance.now();
    var from = document.getElementById('from').value || data.from;
    var to = document.getElementById('to').value || data.to;
    charts.forEach(function (c) { c.destroy(); });
    charts = [];
    var main = document.getElementById('views');
    main.textContent = '';
    var days = daysBetween(from, to);
    var summary = document.getElementById('summary');
    if (data.rows.length === 0) {
      summary.textContent = 'The collector held no rollups for this report' +
          (data.from || data.to ? ' (' + (data.from || '…') + ' to ' + (data.to || '…') + ')' : '') +
          '.';
    } else if (from && to && from <= to) {
      summary.textContent = days.length + ' days, ' + from + ' to ' + to + '. Report made for ' +
          data.from + ' to ' + data.to + '.';
    } else {
      summary.textContent = 'Choose a start day no later than the end day.';
    }
    VIEWS.forEach(function (view) {
      var section = main.appendChild(element('section', null, {id: 'view-' + view.id}));
      section.appendChild(element('h2', view.title));
      section.appendChild(element('p', view.about, {'class': 'about'}));
      var box = section.appendChild(element('div', null, {'class': 'chart'}));
      var canvas = box.appendChild(element('canvas', null, {id: 'chart-' + view.id, role: 'img',
                                                             'aria-label': view.title}));
      var chartData = view.build(from, to, days);
      if (chartData.labels.length === 0) {
        section.appendChild(element('p', 'Nothing in this range.', {'class': 'empty'}));
      }
      var numbers = section.appendChild(element('div', null, {'class': 'numbers'}));
      numbers.appendChild(numbersTable(view, chartData));
      var chart = new Chart(canvas, {type: view.type, data: chartData, options: options(view)});
      chart.tallyView = view.id;
      charts.push(chart);
    });
    check(performance.now() - started);
  }

  // What a check of the page reads (a headless browser has no other way
  // out): per chart, its series and the pixels it painted; the errors; and
  // how long summing the rows and drawing took.
  function check(renderMs) {
    var result = {errors: window.tallyErrors || [], renderMs: Math.round(renderMs), charts: {}};
    charts.forEach(function (chart) {
      var canvas = chart.canvas, painted = 0;
      try {
        var pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
        for (var i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) painted++;
      } catch (e) {
        result.errors.push('reading ' + chart.tallyView + ': ' + e.message);
      }
      result.charts[chart.tallyView] = {
        datasets: chart.data.datasets.length,
        points: chart.data.datasets.reduce(function (n, set) {
          return n + set.data.filter(function (v) { return v !== null && v !== 0; }).length;
        }, 0),
        width: canvas.width,
        height: canvas.height,
        painted: painted
      };
    });
    document.getElementById('tally-check').textContent = JSON.stringify(result);
  }

  function toggleTheme() {
    var root = document.documentElement;
    var dark = root.getAttribute('data-theme') === 'dark' ||
               (!root.hasAttribute('data-theme') &&
                window.matchMedia('(prefers-color-scheme: dark)').matches);
    root.setAttribute('data-theme', dark ? 'light' : 'dark');
    render();
  }

  var fromInput = document.getElementById('from'), toInput = document.getElementById('to');
  fromInput.value = data.from;
  toInput.value = data.to;
  fromInput.addEventListener('change', render);
  toInput.addEventListener('change', render);
  document.getElementById('theme-toggle').addEventListener('click', toggleTheme);
  if (window.matchMedia) {
    window.matchMedia('(prefers-color-scheme: dark)').addEventListener('change', render);
  }
  // Hash parameters choose the theme (#theme=dark) for screenshots.
  var theme = /theme=(dark|light)/.exec(location.hash);
  if (theme) document.documentElement.setAttribute('data-theme', theme[1]);
  render();
}());
