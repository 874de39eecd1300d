local i = 1 ::top:: if i <= 3 then print(i) i = i + 1 goto top end
do goto skip print('no') ::skip:: end print('done')