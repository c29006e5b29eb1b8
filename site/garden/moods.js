// The six moods a day can be planted with. The order is the order shown in
// the editor, the legend and the monthly counts. Colours are HSL so that each
// day can vary its flower a little around the mood's own colour; `deep` is
// the lightness of the mood's mark on the light menu, dark enough for 3:1
// against the bars' track.
export const MOODS = [
  { id: 'happy', name: '开心', flower: '向日葵', hue: 44, sat: 92, light: 58, deep: 32 },
  { id: 'calm', name: '平静', flower: '薰衣草', hue: 262, sat: 55, light: 72, deep: 57 },
  { id: 'warm', name: '温暖', flower: '樱花', hue: 345, sat: 80, light: 82, deep: 52 },
  { id: 'tired', name: '疲惫', flower: '蒲公英', hue: 48, sat: 22, light: 86, deep: 40 },
  { id: 'sad', name: '难过', flower: '风铃草', hue: 214, sat: 70, light: 66, deep: 50 },
  { id: 'cross', name: '烦躁', flower: '虞美人', hue: 8, sat: 78, light: 58, deep: 49 },
];

const byId = new Map(MOODS.map((m) => [m.id, m]));

export function moodOf(id) {
  return byId.get(id);
}

export function isMood(id) {
  return typeof id === 'string' && byId.has(id);
}

// The colour a mood's flower is drawn in: toned down from the mood's own, so
// that a whole year on the wall reads calm; `dl` shifts the lightness. The
// hues stay apart, and so do the flowers' shapes.
export function flowerColour(mood, dh = 0, dl = 0) {
  const light = Math.min(88, Math.max(40, mood.light + dl));
  return `hsl(${Math.round((mood.hue + dh + 360) % 360)}, ${Math.round(mood.sat * 0.62)}%, ${Math.round(light)}%)`;
}

// The mood's colour light enough to read as text on the dark wall (4.5:1).
export function textColour(mood) {
  return `hsl(${mood.hue} ${mood.sat}% ${Math.max(mood.light, 72)}%)`;
}

// The mood's mark in the menu's month: its bar and its days' underlines.
export function deepColour(mood) {
  return `hsl(${mood.hue} ${Math.min(mood.sat, 75)}% ${mood.deep}%)`;
}
